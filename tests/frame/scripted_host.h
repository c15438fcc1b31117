// A host callback that records every call and answers from a script, for driving plug-ins
// the way a host does. One script at a time (tests run one after another).
#pragma once

#include <functional>
#include <vector>

#include "frame/vst_abi.h"

struct HostCall {
    AEffect* effect;
    VstInt32 opcode;
    VstInt32 index;
    VstIntPtr value;
    void* ptr;
    float opt;
};

class ScriptedHost {
public:
    using Script = std::function<VstIntPtr(const HostCall&)>;

    // Forgets the recorded calls. Without a script the host answers audioMasterVersion with
    // 2400 and everything else with 0.
    static void reset(Script script = {}) {
        calls().clear();
        script_() = std::move(script);
    }

    static VstIntPtr VSTCALLBACK callback(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                          void* ptr, float opt) {
        const HostCall call{effect, opcode, index, value, ptr, opt};
        calls().push_back(call);
        if (script_()) {
            return script_()(call);
        }
        return opcode == audioMasterVersion ? 2400 : 0;
    }

    static std::vector<HostCall>& calls() {
        static std::vector<HostCall> recorded;
        return recorded;
    }

    static std::vector<HostCall> callsWith(VstInt32 opcode) {
        std::vector<HostCall> found;
        for (const HostCall& call : calls()) {
            if (call.opcode == opcode) {
                found.push_back(call);
            }
        }
        return found;
    }

private:
    static Script& script_() {
        static Script script;
        return script;
    }
};
