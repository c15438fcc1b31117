#include "dialog/soft_dialog.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>

#include "dialog/wait_dlg.h"

namespace {

constexpr std::size_t kMaxEditChars = 32;  // more than any 32-bit number needs
constexpr int kIdleWaitMs = 1000;          // longest single wait when no timer is running

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool clickable(const SoftControl& control) {
    switch (control.item->kind) {
    case ControlKind::Edit:
    case ControlKind::UpDown:
    case ControlKind::CheckBox:
    case ControlKind::PushButton: return true;
    default: return false;
    }
}

}  // namespace

bool parseItemInt(const std::string& text, bool isSigned, std::uint32_t& value) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    if (i >= text.size() || !isDigit(text[i])) return false;
    std::uint64_t magnitude = 0;
    for (; i < text.size() && isDigit(text[i]); ++i) {
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (magnitude > 0xFFFFFFFFull) return false;
    }
    if (isSigned) {
        const std::uint64_t limit = negative ? 0x80000000ull : 0x7FFFFFFFull;
        if (magnitude > limit) return false;
    }
    value = negative ? static_cast<std::uint32_t>(0u - static_cast<std::uint32_t>(magnitude))
                     : static_cast<std::uint32_t>(magnitude);
    return true;
}

std::string formatItemInt(std::uint32_t value, bool isSigned) {
    char text[16];
    if (isSigned) {
        std::snprintf(text, sizeof(text), "%d", static_cast<int>(static_cast<std::int32_t>(value)));
    } else {
        std::snprintf(text, sizeof(text), "%u", static_cast<unsigned>(value));
    }
    return text;
}

// ---- CSoftDialog ----

CSoftDialog::CSoftDialog(const DialogTemplate& t, const SoftMetrics& m) : dialogTemplate(t), metrics(m) {
    width = pixelX(t.cx);
    height = pixelY(t.cy);
    controls.resize(static_cast<std::size_t>(t.controlCount));
    for (int i = 0; i < t.controlCount; ++i) {
        SoftControl& c = controls[static_cast<std::size_t>(i)];
        c.item = &t.controls[i];
        c.rect = {pixelX(c.item->x), pixelY(c.item->y), pixelX(c.item->cx), pixelY(c.item->cy)};
        if (c.item->kind == ControlKind::Edit) continue;
        // Labels: '&' marks the mnemonic, "&&" is a plain '&'.
        for (const char* p = c.item->text; *p; ++p) {
            if (*p == '&' && p[1] != 0) {
                ++p;
                if (*p != '&') c.mnemonicIndex = static_cast<int>(c.text.size());
            }
            c.text.push_back(*p);
        }
    }
    // UDS_AUTOBUDDY takes the control before the up-down as its buddy; UDS_ALIGNRIGHT puts the
    // up-down inside the buddy's right edge, as the Windows control does.
    for (std::size_t i = 1; i < controls.size(); ++i) {
        SoftControl& spin = controls[i];
        SoftControl& edit = controls[i - 1];
        if (spin.item->kind != ControlKind::UpDown || !(spin.style() & style::kAutoBuddy)) continue;
        if (edit.item->kind != ControlKind::Edit) continue;
        spin.buddy = &edit;
        edit.spin = &spin;
        if (spin.style() & style::kAlignRight) {
            const int w = std::min(spin.rect.width, edit.rect.width / 2);
            edit.rect.width -= w;
            spin.rect = {edit.rect.x + edit.rect.width, edit.rect.y, w, edit.rect.height};
        }
    }
}

int CSoftDialog::pixelX(int units) const { return (units * metrics.baseX + 2) / 4; }
int CSoftDialog::pixelY(int units) const { return (units * metrics.baseY + 4) / 8; }

SoftControl* CSoftDialog::find(int id) {
    for (SoftControl& c : controls) {
        if (c.item->id == id && id != kUnaddressedId) return &c;
    }
    return nullptr;
}

const SoftControl* CSoftDialog::find(int id) const { return const_cast<CSoftDialog*>(this)->find(id); }

void CSoftDialog::deliver(unsigned message, DialogWParam wparam, DialogLParam lparam) {
    if (system) dialogProc(*system, this, message, wparam, lparam);
}

void CSoftDialog::command(std::uint16_t id, std::uint16_t code, SoftControl* control) {
    deliver(msg::kCommand, (static_cast<DialogWParam>(code) << 16) | id, reinterpret_cast<DialogLParam>(control));
}

void CSoftDialog::setEditText(SoftControl& edit, const std::string& text) {
    edit.text = text.substr(0, kMaxEditChars);
    edit.caret = edit.text.size();
    edit.allSelected = false;
    dirty = true;
    command(edit.item->id, kEnChange, &edit);
}

void CSoftDialog::setFocus(SoftControl* control) {
    if (focus == control) return;
    if (focus) focus->allSelected = false;
    focus = control;
    dirty = true;
}

void CSoftDialog::focusFirst() {
    for (SoftControl& c : controls) {
        if (c.tabStop()) {
            setFocus(&c);
            if (c.item->kind == ControlKind::Edit) {
                c.allSelected = !c.text.empty();
                c.caret = c.text.size();
            }
            return;
        }
    }
}

void CSoftDialog::moveFocus(bool forward) {
    std::vector<SoftControl*> order;
    for (SoftControl& c : controls) {
        if (c.tabStop()) order.push_back(&c);
    }
    if (order.empty()) return;
    auto at = std::find(order.begin(), order.end(), focus);
    std::size_t index = at == order.end() ? (forward ? order.size() - 1 : 0) : static_cast<std::size_t>(at - order.begin());
    index = forward ? (index + 1) % order.size() : (index + order.size() - 1) % order.size();
    SoftControl* next = order[index];
    setFocus(next);
    // As the Windows dialog manager does, tabbing into an edit box selects its whole text.
    if (next->item->kind == ControlKind::Edit) {
        next->allSelected = !next->text.empty();
        next->caret = next->text.size();
    }
}

void CSoftDialog::click(SoftControl& control) {
    if (control.item->kind == ControlKind::CheckBox && (control.style() & 0xF) == style::kAutoCheckBox) {
        control.check = control.check == kBstChecked ? kBstUnchecked : kBstChecked;
        dirty = true;
    }
    command(control.item->id, kBnClicked, &control);
}

void CSoftDialog::step(SoftControl& spin, int delta) {
    std::int64_t current = spin.position;
    std::uint32_t shown = 0;
    if (spin.buddy && parseItemInt(spin.buddy->text, true, shown)) current = static_cast<std::int32_t>(shown);
    std::int64_t next = current + delta;
    const int low = std::min(spin.lower, spin.upper);
    const int high = std::max(spin.lower, spin.upper);
    next = std::clamp<std::int64_t>(next, low, high);
    if (next == current) return;
    spin.position = static_cast<int>(next);
    dirty = true;
    if (spin.buddy && (spin.style() & style::kSetBuddyInt)) {
        setEditText(*spin.buddy, formatItemInt(static_cast<std::uint32_t>(spin.position), true));
    }
}

void CSoftDialog::editKey(SoftControl& edit, SoftKey k, char character) {
    std::string text = edit.text;
    std::size_t caret = std::min(edit.caret, text.size());
    switch (k) {
    case SoftKey::Character:
        // ES_NUMBER: digits only, so a minus sign cannot be typed.
        if (!isDigit(character)) return;
        if (edit.allSelected) {
            text.clear();
            caret = 0;
        }
        if (text.size() >= kMaxEditChars) return;
        text.insert(caret, 1, character);
        ++caret;
        break;
    case SoftKey::Backspace:
    case SoftKey::Delete:
        if (edit.allSelected) {
            text.clear();
            caret = 0;
        } else if (k == SoftKey::Backspace && caret > 0) {
            text.erase(--caret, 1);
        } else if (k == SoftKey::Delete && caret < text.size()) {
            text.erase(caret, 1);
        } else {
            return;
        }
        break;
    case SoftKey::Left:
    case SoftKey::Right:
    case SoftKey::Home:
    case SoftKey::End:
        if (k == SoftKey::Left && caret > 0 && !edit.allSelected) --caret;
        if (k == SoftKey::Right && caret < text.size() && !edit.allSelected) ++caret;
        if (k == SoftKey::Home) caret = 0;
        if (k == SoftKey::End) caret = text.size();
        edit.caret = caret;
        edit.allSelected = false;
        dirty = true;
        return;
    case SoftKey::Up:
    case SoftKey::Down:
        if (edit.spin && (edit.spin->style() & style::kArrowKeys)) step(*edit.spin, k == SoftKey::Up ? 1 : -1);
        return;
    default: return;
    }
    edit.text = text;
    edit.caret = caret;
    edit.allSelected = false;
    dirty = true;
    command(edit.item->id, kEnChange, &edit);
}

void CSoftDialog::key(SoftKey k, char character) {
    switch (k) {
    case SoftKey::Tab: moveFocus(true); return;
    case SoftKey::BackTab: moveFocus(false); return;
    case SoftKey::Escape: command(static_cast<std::uint16_t>(kIdCancel), kBnClicked, find(static_cast<int>(kIdCancel))); return;
    case SoftKey::Enter:
        // No default push button: Enter means IDOK, unless a push button has the focus.
        if (focus && focus->item->kind == ControlKind::PushButton) {
            click(*focus);
        } else {
            command(static_cast<std::uint16_t>(kIdOk), kBnClicked, nullptr);
        }
        return;
    default: break;
    }
    if (!focus) return;
    if (focus->item->kind == ControlKind::Edit) {
        editKey(*focus, k, character);
        return;
    }
    if ((k == SoftKey::Space || (k == SoftKey::Character && character == ' ')) &&
        (focus->item->kind == ControlKind::CheckBox || focus->item->kind == ControlKind::PushButton)) {
        click(*focus);
    }
}

void CSoftDialog::mnemonic(char character) {
    const int wanted = std::tolower(static_cast<unsigned char>(character));
    std::vector<std::size_t> matches;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const SoftControl& c = controls[i];
        if (c.mnemonicIndex >= 0 &&
            std::tolower(static_cast<unsigned char>(c.text[static_cast<std::size_t>(c.mnemonicIndex)])) == wanted) {
            matches.push_back(i);
        }
    }
    if (matches.empty()) return;
    // Several controls with the same mnemonic take turns, starting after the focused one.
    std::size_t from = 0;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        if (&controls[i] == focus) from = i;
    }
    std::size_t chosen = matches.front();
    for (std::size_t m : matches) {
        // A label stands for the control after it.
        const std::size_t target = controls[m].item->kind == ControlKind::Static ? m + 1 : m;
        if (target > from) {
            chosen = m;
            break;
        }
    }
    SoftControl* target = &controls[chosen];
    if (target->item->kind == ControlKind::Static || target->item->kind == ControlKind::GroupBox) {
        target = nullptr;
        for (std::size_t i = chosen + 1; i < controls.size(); ++i) {
            if (controls[i].tabStop()) {
                target = &controls[i];
                break;
            }
        }
        if (!target) return;
    }
    setFocus(target);
    if (target->item->kind == ControlKind::Edit) {
        target->allSelected = !target->text.empty();
        target->caret = target->text.size();
    } else if (matches.size() == 1 &&
               (target->item->kind == ControlKind::CheckBox || target->item->kind == ControlKind::PushButton)) {
        click(*target);
    }
}

SoftControl* CSoftDialog::controlAt(int x, int y) {
    for (auto it = controls.rbegin(); it != controls.rend(); ++it) {
        if (clickable(*it) && it->rect.contains(x, y)) return &*it;
    }
    return nullptr;
}

void CSoftDialog::press(int x, int y) {
    SoftControl* c = controlAt(x, y);
    if (!c) return;
    switch (c->item->kind) {
    case ControlKind::Edit: {
        setFocus(c);
        c->allSelected = false;
        // Right-aligned text: find the character boundary nearest to the click.
        const int textRight = c->rect.x + c->rect.width - 3;
        const int textLeft = textRight - static_cast<int>(c->text.size()) * metrics.baseX;
        const int index = (x - textLeft + metrics.baseX / 2) / std::max(1, metrics.baseX);
        c->caret = static_cast<std::size_t>(std::clamp(index, 0, static_cast<int>(c->text.size())));
        dirty = true;
        break;
    }
    case ControlKind::UpDown: {
        const int delta = y < c->rect.y + c->rect.height / 2 ? 1 : -1;
        c->pressedHalf = delta;
        if (c->buddy) setFocus(c->buddy);
        dirty = true;
        step(*c, delta);
        break;
    }
    default:
        setFocus(c);
        c->pressed = true;
        dirty = true;
        break;
    }
}

void CSoftDialog::release(int x, int y) {
    for (SoftControl& c : controls) {
        if (c.pressedHalf != 0) {
            c.pressedHalf = 0;
            dirty = true;
        }
        if (!c.pressed) continue;
        c.pressed = false;
        dirty = true;
        if (c.rect.contains(x, y)) click(c);
        if (ended) return;
    }
}

void CSoftDialog::handle(const SoftInput& input) {
    switch (input.type) {
    case SoftInput::Type::Key: key(input.key, input.character); break;
    case SoftInput::Type::Mnemonic: mnemonic(input.character); break;
    case SoftInput::Type::Press: press(input.x, input.y); break;
    case SoftInput::Type::Release: release(input.x, input.y); break;
    case SoftInput::Type::Close:
        // The close box asks for IDCANCEL, as the Windows dialog manager's WM_CLOSE does.
        posted.push_back({msg::kCommand, static_cast<DialogWParam>(kIdCancel), 0});
        break;
    case SoftInput::Type::Exposed: dirty = true; break;
    case SoftInput::Type::Lost:
        command(static_cast<std::uint16_t>(kIdCancel), kBnClicked, nullptr);
        if (!ended) {
            ended = true;
            result = kIdCancel;
        }
        break;
    }
}

// ---- CSoftDialogSystem ----

CSoftDialogSystem::CSoftDialogSystem(CSoftSurface& s) : surface(s) {}

CSoftDialog* CSoftDialogSystem::dialogOf(DialogWindow window) {
    return current && window == static_cast<DialogWindow>(current) ? current : nullptr;
}

DialogResult CSoftDialogSystem::runModal(int templateId, CWaitDlg* dialog) {
    if (templateId != kConfigTemplate.id || current) return -1;
    SoftMetrics metrics;
    if (!surface.connect(metrics)) return -1;
    CSoftDialog soft(kConfigTemplate, metrics);
    soft.system = this;
    if (!surface.show(kConfigTemplate.caption, soft.width, soft.height)) {
        surface.close();
        return -1;
    }
    current = &soft;
    soft.deliver(msg::kInitDialog, 0, reinterpret_cast<DialogLParam>(dialog));
    if (!soft.focus) soft.focusFirst();

    using Clock = std::chrono::steady_clock;
    while (!soft.ended) {
        if (!soft.posted.empty()) {
            const CSoftDialog::Posted m = soft.posted.front();
            soft.posted.pop_front();
            soft.deliver(m.message, m.wparam, m.lparam);
            continue;
        }
        Clock::time_point now = Clock::now();
        bool fired = false;
        for (std::size_t i = 0; i < soft.timers.size() && !soft.ended; ++i) {
            if (soft.timers[i].due > now) continue;
            const unsigned id = soft.timers[i].id;
            // The next tick counts from now, so a slow handler does not make ticks pile up.
            soft.timers[i].due = now + std::chrono::milliseconds(soft.timers[i].milliseconds);
            soft.deliver(msg::kTimer, id, 0);
            fired = true;
            break;
        }
        if (fired) continue;
        if (soft.dirty) {
            surface.draw(soft);
            soft.dirty = false;
        }
        now = Clock::now();
        int waitMs = kIdleWaitMs;
        for (const CSoftDialog::Timer& t : soft.timers) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(t.due - now).count() + 1;
            waitMs = static_cast<int>(std::clamp<long long>(left, 0, waitMs));
        }
        SoftInput input;
        if (surface.waitInput(waitMs, input)) soft.handle(input);
    }
    current = nullptr;
    surface.close();
    return soft.result;
}

void CSoftDialogSystem::setUserData(DialogWindow window, void* data) {
    if (CSoftDialog* d = dialogOf(window)) d->user = data;
}

void* CSoftDialogSystem::userData(DialogWindow window) {
    CSoftDialog* d = dialogOf(window);
    return d ? d->user : nullptr;
}

void CSoftDialogSystem::setItemInt(DialogWindow window, int id, std::uint32_t value, bool isSigned) {
    CSoftDialog* d = dialogOf(window);
    SoftControl* c = d ? d->find(id) : nullptr;
    if (!c) return;
    if (c->item->kind == ControlKind::Edit) {
        d->setEditText(*c, formatItemInt(value, isSigned));
    } else {
        c->text = formatItemInt(value, isSigned);
        c->mnemonicIndex = -1;
        d->dirty = true;
    }
}

std::uint32_t CSoftDialogSystem::itemInt(DialogWindow window, int id, bool isSigned) {
    CSoftDialog* d = dialogOf(window);
    const SoftControl* c = d ? d->find(id) : nullptr;
    std::uint32_t value = 0;
    if (!c || !parseItemInt(c->text, isSigned, value)) return 0;
    return value;
}

void CSoftDialogSystem::setCheck(DialogWindow window, int id, int state) {
    CSoftDialog* d = dialogOf(window);
    SoftControl* c = d ? d->find(id) : nullptr;
    if (!c || c->item->kind != ControlKind::CheckBox) return;
    c->check = state == kBstChecked ? kBstChecked : kBstUnchecked;
    d->dirty = true;
}

int CSoftDialogSystem::checkState(DialogWindow window, int id) {
    CSoftDialog* d = dialogOf(window);
    const SoftControl* c = d ? d->find(id) : nullptr;
    return c && c->item->kind == ControlKind::CheckBox ? c->check : kBstUnchecked;
}

void CSoftDialogSystem::setUpDownRange(DialogWindow window, int id, int lower, int upper) {
    CSoftDialog* d = dialogOf(window);
    SoftControl* c = d ? d->find(id) : nullptr;
    if (!c || c->item->kind != ControlKind::UpDown) return;
    // The same 16-bit limits UDM_SETRANGE carries.
    c->lower = static_cast<std::int16_t>(lower);
    c->upper = static_cast<std::int16_t>(upper);
}

bool CSoftDialogSystem::setTimer(DialogWindow window, unsigned id, unsigned milliseconds) {
    CSoftDialog* d = dialogOf(window);
    if (!d) return false;
    const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    for (CSoftDialog::Timer& t : d->timers) {
        if (t.id == id) {
            t = {id, milliseconds, due};
            return true;
        }
    }
    d->timers.push_back({id, milliseconds, due});
    return true;
}

bool CSoftDialogSystem::killTimer(DialogWindow window, unsigned id) {
    CSoftDialog* d = dialogOf(window);
    if (!d) return false;
    const auto before = d->timers.size();
    std::erase_if(d->timers, [id](const CSoftDialog::Timer& t) { return t.id == id; });
    return d->timers.size() != before;
}

bool CSoftDialogSystem::post(DialogWindow window, unsigned message, DialogWParam wparam, DialogLParam lparam) {
    CSoftDialog* d = dialogOf(window);
    if (!d) return false;
    d->posted.push_back({message, wparam, lparam});
    return true;
}

DialogResult CSoftDialogSystem::send(DialogWindow window, unsigned message, DialogWParam wparam, DialogLParam lparam) {
    CSoftDialog* d = dialogOf(window);
    if (!d) return 0;
    if (message == msg::kClose) {
        d->handle({SoftInput::Type::Close});
        return 0;
    }
    return dialogProc(*this, window, message, wparam, lparam);
}

bool CSoftDialogSystem::end(DialogWindow window, DialogResult result) {
    CSoftDialog* d = dialogOf(window);
    if (!d) return false;
    d->ended = true;
    d->result = result;
    return true;
}
