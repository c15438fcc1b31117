// The fake host (tests/support/fake_host.h) for the frame's tests, behind static calls: one
// script at a time (tests run one after another). Without a script it answers
// audioMasterVersion with 2400 and everything else with 0.
#pragma once

#include <vector>

#include "tests/support/fake_host.h"

class ScriptedHost {
public:
    using Script = FakeHost::Script;

    // Forgets the recorded calls and answers from `script` from now on.
    static void reset(Script script = {}) {
        FakeHost& fake = host();
        fake.clear();
        fake.script = std::move(script);
    }

    static VstIntPtr VSTCALLBACK callback(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                          void* ptr, float opt) {
        FakeHost::current = &host();
        return FakeHost::callback(effect, opcode, index, value, ptr, opt);
    }

    static std::vector<HostCall>& calls() { return host().calls; }
    static std::vector<HostCall> callsWith(VstInt32 opcode) { return host().callsWith(opcode); }

private:
    struct Quiet : FakeHost {
        Quiet() {
            answers = {{audioMasterVersion, 2400}};
            giveTime = false;
            processEventsAnswer = 0;
        }
    };
    static FakeHost& host() {
        static Quiet fake;
        return fake;
    }
};
