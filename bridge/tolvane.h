// The bridge plug-in: one CTolvane per instance the host loads. It does no signal processing;
// it passes the host's audio, events and time information to the slave process bound to its
// slave number and hands the slave's answer back to the host.
//
// Threads (docs/threads.md has the whole contract). A host calls in from several threads at
// once: its audio thread (processing, often processEvents and automation's setParameter) and
// its other threads (idle, parameter changes from the GUI, suspend and resume, close). Two
// things keep them apart, and neither ever makes the audio thread wait:
// - `controlMutex` serialises the threads that may wait (never taken on an audio thread);
// - the link's turn (`linkTurn`) is held by whoever touches the shared block, the channel's
//   objects or the connection's state. The audio thread tries it once and, when another thread
//   holds it, leaves the block alone for that call; the other threads wait for it, which costs
//   them at most one answer wait of the audio thread.
// The audio thread never sends a command and then waits for it outside its own block: the
// connect sequence it starts goes out one command per call, each answer looked for without
// waiting on later calls against a 100 ms deadline taken from the clock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <thread>

#include "bridge/identity.h"
#include "bridge/settings/settings_store.h"
#include "frame/audioeffectx.h"
#include "link/slave_shmem.h"

// One input/output configuration: in force (`io`) or pending until the next suspend (`pendingIo`).
struct IoConfig {
    VstInt32 numInputs;   // 0..16
    VstInt32 numOutputs;  // 1..16
    bool stereoPins;      // describe the pins as stereo pairs
};

// The configuration the pin parameters show, held until the host's next suspend. Set from any
// thread (hosts automate from their audio thread), read by the dispatch thread at the suspend:
// each count on its own atomic word.
struct PendingIo {
    std::atomic<VstInt32> numInputs;
    std::atomic<VstInt32> numOutputs;
    std::atomic<bool> stereoPins;

    explicit PendingIo(const IoConfig& config)
        : numInputs(config.numInputs), numOutputs(config.numOutputs), stereoPins(config.stereoPins) {}
    IoConfig load() const { return {numInputs.load(), numOutputs.load(), stereoPins.load()}; }
    void store(const IoConfig& config) {
        numInputs.store(config.numInputs);
        numOutputs.store(config.numOutputs);
        stereoPins.store(config.stereoPins);
    }
};

constexpr VstInt32 kMaxIoChannels = 16;
constexpr VstInt32 kParamCountBasic = 4;
constexpr VstInt32 kParamCountWithIo = 7;
constexpr std::uint32_t kAnswerWaitMs = 100;    // every command but kCmdStart
constexpr VstInt32 kMaxProcessWaits = 21;       // 100 ms steps a silent slave is given: 2.1 s
constexpr VstInt32 kProcessFilter = 0xFFC7;     // time information request mask
// After a connect started from the processing call fails on a late answer, the processing call
// starts no new attempt for this long, so a hung slave cannot stall a host that never idles.
constexpr std::chrono::milliseconds kProcessReconnectPause{1000};
// A start answer is waited for this long. Until then idle calls leave the link alone (a slave
// that loads something on start may take longer than the host's idle interval); after it the
// start counts as lost (a command sent right after the start can take its signal away before
// the slave wakes) and the normal triggers connect again.
constexpr std::chrono::milliseconds kStartAnswerPatience{1000};
// A synchronous block whose answer did not come within one answer wait stays outstanding; later
// calls only look for its answer. The link is given up once it has been outstanding this long.
constexpr std::chrono::milliseconds kSilentSlavePatience{kMaxProcessWaits * kAnswerWaitMs};
// While a block is outstanding, the processing call looks at the slave's lock at most this often
// (a few system calls), so that a slave that died is given up without waiting out the patience.
constexpr std::chrono::milliseconds kAliveLookInterval{250};
// After a failed connect attempt from an idle call, the next one waits this long at first,
// doubling up to kIdleRetryMax; a slave that appears (or is new) cuts the pause short.
constexpr std::chrono::milliseconds kIdleRetryFirst{1000};
constexpr std::chrono::milliseconds kIdleRetryMax{4000};
// While connected, idle calls look at the slave's lock this often, to notice a slave that died
// or was replaced by a new one while no blocks flow.
constexpr std::chrono::milliseconds kIdleLookInterval{200};
// How long a thread that may wait waits for the link's turn before it gives up its link work.
constexpr std::chrono::milliseconds kTurnPatience{1500};

VstInt32 clampInputs(VstInt32 n);
VstInt32 clampOutputs(VstInt32 n);
// Copies "On" or "Off" with its terminating zero.
void onOffText(bool on, char* text);

// The link's turn: a flag, not a lock that anyone sleeps on. The audio thread tries it once;
// threads that may wait try again every millisecond for a bounded time. A thread that comes to
// move the link announces itself, and the audio thread then leaves the turn to it rather than
// take it again for its next block: a host that processes back to back would otherwise never
// let a parameter change or a suspend through.
class LinkTurn {
public:
    // [any thread] One try; refused while another thread waits to move the link.
    bool tryTake() noexcept {
        return wanted.load(std::memory_order_acquire) == 0 && !busy.exchange(true, std::memory_order_acquire);
    }
    // [not the audio thread: sleeps] `announce` false: wait without holding the audio thread
    // back (for work that is over in microseconds, such as packing events).
    bool take(std::chrono::milliseconds patience, bool announce = true);
    void give() noexcept { busy.store(false, std::memory_order_release); }  // [holder]

private:
    std::atomic<bool> busy{false};
    std::atomic<int> wanted{0};
};

// Holds the link's turn, taken before, for a scope.
class TurnHeld {
public:
    explicit TurnHeld(LinkTurn& turn) noexcept : turn_(turn) {}
    ~TurnHeld() { turn_.give(); }
    TurnHeld(const TurnHeld&) = delete;
    TurnHeld& operator=(const TurnHeld&) = delete;

private:
    LinkTurn& turn_;
};

// The threads that have called the processing entries, so that a call can tell whether it came
// from one of them (hosts may process one plug-in on any thread of a pool). [any thread]
class AudioThreads {
public:
    void note() noexcept;            // [audio thread] a few atomic loads, a store the first time
    bool current() const noexcept;   // [any thread]

private:
    static constexpr int kSlots = 16;
    std::atomic<std::uint64_t> ids[kSlots]{};  // platformCurrentThreadId, 0 when empty
    std::atomic<unsigned> next{0};
};

class CTolvane : public AudioEffectX {
public:
    // [main thread] Runs the configuration dialog when that setting is on.
    CTolvane(audioMasterCallback audioMaster, const DeliverableIdentity& identity);
    ~CTolvane() override;  // [dispatch thread, after close]

    // ---- Overrides, in the order of the base's virtual table ----
    // Thread tags (frame/thread_tags.h); "waits" gives the longest the call can be kept.
    void close() override;                                     // [dispatch thread; waits 1.5 s + 100 ms]
    void suspend() override;                                   // [dispatch thread; waits 1.5 s + 100 ms]
    void resume() override;                                    // [dispatch thread; waits 1.5 s + 100 ms]
    void setSampleRate(float sampleRate) override;             // [dispatch thread; waits 1.5 s + 200 ms]
    void setBlockSize(VstInt32 blockSize) override;            // [dispatch thread; waits 1.5 s + 200 ms]
    void processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) override;  // [audio thread]
    // [any thread] On an audio thread it only records the change (Slave#, CfgDlg, TrmSlave wait
    // for the next call from another thread); elsewhere Slave# moves the link at once (waits as
    // renumber).
    void setParameter(VstInt32 index, float value) override;
    float getParameter(VstInt32 index) override;               // [any thread]
    void getProgramName(char* name) override;                  // [any thread]
    void getParameterDisplay(VstInt32 index, char* text) override;  // [any thread]
    void getParameterName(VstInt32 index, char* text) override;     // [any thread]
    void process(float** inputs, float** outputs, VstInt32 sampleFrames) override;  // [audio thread]
    bool canParameterBeAutomated(VstInt32 index) override;     // [any thread]
    bool string2parameter(VstInt32 index, char* text) override;  // [as setParameter]
    bool getInputProperties(VstInt32 index, VstPinProperties* properties) override;   // [dispatch thread]
    bool getOutputProperties(VstInt32 index, VstPinProperties* properties) override;  // [dispatch thread]
    // [audio or dispatch thread, no allocation] On an audio thread the events are dropped while
    // another thread holds the link's turn; elsewhere it waits for the turn.
    VstInt32 processEvents(VstEvents* events) override;
    VstInt32 canHostDo(char* text) override;                   // [any thread]
    bool getEffectName(char* name) override;                   // [any thread]
    bool getVendorString(char* text) override;                 // [any thread]
    bool getProductString(char* text) override;               // [any thread]
    VstInt32 getVendorVersion() override;                      // [any thread]
    VstInt32 canDo(char* text) override;                       // [any thread]
    VstInt32 reportCurrentPosition() override;                 // [audio thread]
    void setBlockSizeAndSampleRate(VstInt32 blockSize, float sampleRate) override;  // [as setSampleRate]
    // [dispatch or GUI thread] Never waits for another thread: it skips its work while another
    // thread moves the link. A connect attempt waits 400 ms at most, and after a failed one the
    // next waits 1 s, then 2 s, then 4 s.
    VstInt32 fxIdle() override;

    // ---- Connection (the connect sequence and the commands) ----
    // SlaveGone: slaveAttached is set, but the slave's lock shows that it died without clearing it.
    // UnderWay: a command of the sequence awaits its answer.
    enum class ConnectResult { Started, UnderWay, NotAttachable, NoSlave, SlaveGone, Refused, LateAnswer };
    // [main or dispatch thread; waits 1.5 s for the turn + 400 ms] The whole sequence, each
    // answer waited for: true when the start command was signalled.
    bool connectSlave();
    // The senders, for threads that may wait: each waits up to 100 ms for its answer.
    // [the link's turn held, not on an audio thread]
    // SetIo and GetInfo go out only within the connect sequence (issueSequenceStep).
    ConnectResult tryConnect();
    bool sendSetSampleRate(float rate);
    bool sendSetBlockSize(VstInt32 frames);
    bool sendStart();
    bool sendStop();
    bool sendSuspendState(bool suspend);
    // [main or dispatch thread; waits 1.5 s for the turn + 500 ms] Moves the link to another
    // slave number: stops the old slave, reopens the channel, connects.
    void renumber(VstInt32 newSlaveNumber);

    // ---- Settings ---- [main or dispatch thread: file or registry I/O]
    bool openSettingsKey();
    bool writeSetting(const char* name, VstInt32 value);
    bool readSetting(const char* name, VstInt32& out);
    bool readBoolSetting(const char* name, bool& out);
    bool closeSettingsKey();

    // ---- Streaming ---- [audio thread, the link's turn held]
    void copyInputs(float** inputs, VstInt32 count, VstInt32 offset, VstInt32 frames);
    void copyOutputs(float** outputs, VstInt32 offset, VstInt32 frames);
    // Hands the slave's events to the host, their deltaFrames kept inside a block of `frames`.
    bool forwardSlaveEvents(VstInt32 frames);

    const DeliverableIdentity& identity() const { return *ident; }

    // ---- Members, in declared order ----
    // Flags read across threads are atomic; everything else of the link is touched only with
    // the link's turn held, the settings only with controlMutex held.
    SettingsKey* settingsKey;
    std::atomic<bool> configDlg;
    std::atomic<bool> termSlave;
    bool hostCanAsync;
    std::atomic<bool> idleSeen;
    std::atomic<bool> synchronous;
    std::atomic<bool> hostReceivesEvents;
    std::atomic<bool> connected;
    std::atomic<bool> startPending;
    bool suspended;
    bool suspendStateSent;
    bool asyncDone;
    VstInt32 asyncFrames;
    CSlaveShMem channel;
    std::atomic<VstInt32> slaveNumber;
    IoConfig io;
    bool hostAcceptsIo;
    std::atomic<bool> pinChangePending;
    PendingIo pendingIo;
    std::uint8_t slaveInfo[8];
    VstInt32 slaveInfoWord;
    float* asyncOutputs[kMaxIoChannels];

private:
    using Clock = std::chrono::steady_clock;
    enum class CommandResult { Answered, Refused, Late, Pending };
    // The connect sequence's command whose answer is awaited (None: no sequence under way).
    enum class SequenceStep : std::uint8_t { None, SetIo, SetSampleRate, SetBlockSize, GetInfo };

    // One exchange: refused without a living slave or while the previous signal is pending;
    // otherwise the arguments and code are written, the slave signalled, and the answer's
    // deadline set 100 ms ahead. [the turn held]
    CommandResult issueCommand(SlaveCommand command, const void* arguments, std::size_t argumentBytes);
    // Looks for the awaited answer, waiting up to `milliseconds` (0 on an audio thread) but
    // never past its deadline: Answered, Pending, or Late once the deadline has passed.
    // [the turn held]
    CommandResult awaitAnswer(std::uint32_t milliseconds);
    // issueCommand, then the answer waited for. [dispatch or main thread, the turn held]
    CommandResult sendCommand(SlaveCommand command, const void* arguments, std::size_t argumentBytes);
    // Sends the sequence's next command after `step`; false when it was refused. [the turn held]
    bool issueSequenceStep(SequenceStep step);
    // Begins a connect sequence: attach, version, slave checks, then SetIo sent. [the turn held;
    // on the audio thread only in a host that never idles: a few system calls]
    ConnectResult beginConnect();
    // Advances a sequence under way by at most one answer (waiting up to `milliseconds`):
    // Started once the start has gone out, Refused or LateAnswer when it ended, UnderWay while a
    // command still awaits its answer. [the turn held]
    ConnectResult stepConnect(std::uint32_t milliseconds);
    // Takes the start answer if it is there within `milliseconds`. Only a successful pick-up
    // sets `connected`; then the host's on/off state goes out (waited for unless `audio`).
    // [the turn held]
    bool pickUpStartAnswer(std::uint32_t milliseconds, bool audio);
    bool startAnswerOverdue() const;  // [any thread]
    // Forgets everything of the current session with the slave (the next connect starts anew).
    // [the turn held]
    void dropLink();
    // For threads that may wait, with the turn held: finishes what an audio thread left under
    // way (a sequence, an awaited answer, a start answer, an outstanding block), so that a new
    // command sees only its own answer.
    void settleLink();
    // The processing call's part of the connection while not connected. [the turn held]
    void advanceLink();
    // The slave's answer to an outstanding synchronous block: true once it is there (or the
    // block is no longer awaited); false keeps the block outstanding, or gives the link up.
    // [audio thread, the turn held; a look at the slave's lock at most every 250 ms]
    bool collectOutstanding();
    // The slave's silence about a block begins now; silentTooLong says when it has lasted the
    // whole patience, or when a look at the slave's lock (at most every 250 ms) finds it dead.
    // [audio thread, the turn held]
    void startSilence();
    bool silentTooLong();
    // The previous asynchronous block, found not collected by the next processing call: true
    // when the block may go on, false when the slave has been given up. [audio thread, the turn held]
    bool asyncAnswerSeen();
    // One synchronous or asynchronous exchange of `frames` frames starting at `offset` of the
    // host's buffers; false when no further piece should be sent. `mayWait` is whether this
    // call still has its one answer wait. [audio thread, the turn held]
    bool exchangePiece(float** inputs, float** outputs, VstInt32 offset, VstInt32 frames, bool& mayWait);
    void silenceOutputs(float** outputs, VstInt32 frames);  // [audio thread]
    // [dispatch thread]
    bool describePin(VstInt32 index, VstInt32 count, const char* pairFormat, const char* singleFormat,
                     VstPinProperties* properties);
    void applyPendingIo();  // [dispatch thread, controlMutex and the turn held]
    // Threads that may wait, controlMutex held: a Slave# change recorded on an audio thread is
    // carried out, and settings changed there are written.
    void catchUp();
    void flushSettings();
    void renumberLocked(VstInt32 newSlaveNumber);
    // Idle's look at a connected slave: dropped when it died or another slave took its place.
    // [dispatch thread, controlMutex held; takes the turn only to drop the link]
    void watchConnectedSlave(Clock::time_point now);
    // Opens the channel again when its block could not be had. [dispatch or main thread, the
    // turn held: system calls]
    bool reopenMissingBlock();
    void noteIdleFailure(Clock::time_point now);  // [dispatch thread, controlMutex held]
    // The slave number the parameter shows: one changed on an audio thread before the link moves.
    // [any thread]
    VstInt32 shownSlaveNumber() const { return renumberRequested ? requestedSlaveNumber.load() : slaveNumber.load(); }

    const DeliverableIdentity* ident;
    CommandResult lastCommand = CommandResult::Refused;  // outcome of the latest sendCommand
    bool asyncStarted = false;  // an asynchronous block has been handed to the slave
    SequenceStep sequenceStep = SequenceStep::None;
    SlaveCommand awaitedCommand = kCmdNone;  // a command whose answer is still looked for
    Clock::time_point answerDeadline{};
    bool blockOutstanding = false;           // a synchronous block is still unanswered
    bool asyncLate = false;                  // an asynchronous block was found unanswered
    Clock::time_point outstandingSince{};
    Clock::time_point nextAliveLook{};
    Clock::time_point processConnectAllowedAt{};
    Clock::time_point startSentAt{};

    LinkTurn linkTurn;
    AudioThreads audioThreads;
    // Recursive: a host may call the plug-in again from inside one of the host calls made with it
    // held (wantEvents, needIdle, canHostDo). Such a nested call finds the turn taken and leaves
    // its link work for later rather than wait for itself.
    std::recursive_mutex controlMutex;
    // Under controlMutex: idle's pacing and its view of the connected slave.
    Clock::time_point idleRetryAt{};
    std::chrono::milliseconds idleRetryPause{0};
    Clock::time_point nextIdleLook{};
    std::uint64_t connectedSlaveIdentity = 0;  // the slave lock object's identity (0: unknown)
    bool slaveSeenAttached = false;
    PlatformLockWatch* idleLockWatch = nullptr;  // idle's own looks at the slave's lock
    // Changes made on an audio thread, for the next thread that may wait.
    std::atomic<VstInt32> requestedSlaveNumber;
    std::atomic<bool> renumberRequested{false};
    static constexpr unsigned kWriteConfigDlg = 1;
    static constexpr unsigned kWriteTermSlave = 2;
    std::atomic<unsigned> settingsToWrite{0};  // settings changed where no file may be written
};
