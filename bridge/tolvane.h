// The bridge plug-in: one CTolvane per instance the host loads. It does no signal processing;
// it passes the host's audio, events and time information to the slave process bound to its
// slave number and hands the slave's answer back to the host.
//
// Nothing here starts a thread or takes a lock: every operation runs on the host thread that
// calls it (see frame/thread_tags.h), and the fields and the shared block are shared among those
// calls without synchronisation, as the link's one-command-in-flight rule allows.
#pragma once

#include <chrono>
#include <cstdint>

#include "bridge/identity.h"
#include "bridge/settings_store.h"
#include "frame/audioeffectx.h"
#include "link/slave_mem.h"

// One input/output configuration: in force (`io`) or pending until the next suspend (`pendingIo`).
struct IoConfig {
    VstInt32 numInputs;   // 0..16
    VstInt32 numOutputs;  // 1..16
    bool stereoPins;      // describe the pins as stereo pairs
};

constexpr VstInt32 kMaxIoChannels = 16;
constexpr VstInt32 kParamCountBasic = 4;
constexpr VstInt32 kParamCountWithIo = 7;
constexpr std::uint32_t kAnswerWaitMs = 100;    // every command but kCmdStart
constexpr VstInt32 kMaxProcessWaits = 21;       // timed-out 100 ms waits per synchronous block
constexpr VstInt32 kProcessFilter = 0xFFC7;     // time information request mask
// After a connect started from the processing call fails on a late answer, the processing call
// starts no new attempt for this long, so a hung slave cannot stall a host that never idles.
constexpr std::chrono::milliseconds kProcessReconnectPause{1000};
// A start answer is waited for this long. Until then idle calls leave the link alone (a slave
// that loads something on start may take longer than the host's idle interval); after it the
// start counts as lost (a command sent right after the start can take its signal away before
// the slave wakes) and the normal triggers connect again.
constexpr std::chrono::milliseconds kStartAnswerPatience{1000};

VstInt32 clampInputs(VstInt32 n);
VstInt32 clampOutputs(VstInt32 n);
// Copies "On" or "Off" with its terminating zero.
void onOffText(bool on, char* text);

class CTolvane : public AudioEffectX {
public:
    // [main thread] Runs the configuration dialog when that setting is on.
    CTolvane(audioMasterCallback audioMaster, const DeliverableIdentity& identity);
    ~CTolvane() override;

    // ---- Overrides, in the order of the base's virtual table ----
    void close() override;                                     // [dispatch thread, may wait 100 ms]
    void suspend() override;                                   // [dispatch thread, may wait 100 ms]
    void resume() override;                                    // [dispatch thread, may wait 100 ms]
    void setSampleRate(float sampleRate) override;             // [dispatch thread, may wait 100 ms]
    void setBlockSize(VstInt32 blockSize) override;            // [dispatch thread, may wait 100 ms]
    void processReplacing(float** inputs, float** outputs, VstInt32 sampleFrames) override;  // [audio thread]
    void setParameter(VstInt32 index, float value) override;   // [dispatch thread; Slave# waits]
    float getParameter(VstInt32 index) override;               // [any thread]
    void getProgramName(char* name) override;                  // [any thread]
    void getParameterDisplay(VstInt32 index, char* text) override;
    void getParameterName(VstInt32 index, char* text) override;
    void process(float** inputs, float** outputs, VstInt32 sampleFrames) override;  // [audio thread]
    bool canParameterBeAutomated(VstInt32 index) override;
    bool string2parameter(VstInt32 index, char* text) override;
    bool getInputProperties(VstInt32 index, VstPinProperties* properties) override;
    bool getOutputProperties(VstInt32 index, VstPinProperties* properties) override;
    VstInt32 processEvents(VstEvents* events) override;        // [dispatch thread, no allocation]
    VstInt32 canHostDo(char* text) override;
    bool getEffectName(char* name) override;
    bool getVendorString(char* text) override;
    bool getProductString(char* text) override;
    VstInt32 getVendorVersion() override;
    VstInt32 canDo(char* text) override;
    VstInt32 reportCurrentPosition() override;                 // [audio thread]
    void setBlockSizeAndSampleRate(VstInt32 blockSize, float sampleRate) override;
    VstInt32 fxIdle() override;                                // [dispatch thread, may wait 400 ms]

    // ---- Connection (the connect sequence and the commands) ----
    // SlaveGone: slaveAttached is set, but the slave's lock shows that it died without clearing it.
    enum class ConnectResult { Started, NotAttachable, NoSlave, SlaveGone, Refused, LateAnswer };
    bool connectSlave();                 // true when the start command was signalled
    ConnectResult tryConnect();          // connectSlave with the reason of a failure
    bool sendSetIo();
    bool sendSetSampleRate(float rate);
    bool sendSetBlockSize(VstInt32 frames);
    bool sendGetInfo();
    bool sendStart();
    bool sendStop();
    bool sendSuspendState(bool suspend);
    // Moves the link to another slave number (the Slave# parameter).
    void renumber(VstInt32 newSlaveNumber);

    // ---- Settings ----
    bool openSettingsKey();
    bool writeSetting(const char* name, VstInt32 value);
    bool readSetting(const char* name, VstInt32& out);
    bool readBoolSetting(const char* name, bool& out);
    bool closeSettingsKey();

    // ---- Streaming ----
    void copyInputs(float** inputs, VstInt32 count, VstInt32 offset, VstInt32 frames);
    void copyOutputs(float** outputs, VstInt32 offset, VstInt32 frames);
    bool forwardSlaveEvents();

    const DeliverableIdentity& identity() const { return *ident; }

    // ---- Members, in declared order ----
    SettingsKey* settingsKey;
    bool configDlg;
    bool termSlave;
    bool hostCanAsync;
    bool idleSeen;
    bool synchronous;
    bool hostReceivesEvents;
    bool connected;
    bool startPending;
    bool suspended;
    bool suspendStateSent;
    bool asyncDone;
    VstInt32 asyncFrames;
    CSlaveShMem channel;
    VstInt32 slaveNumber;
    IoConfig io;
    bool hostAcceptsIo;
    bool pinChangePending;
    IoConfig pendingIo;
    std::uint8_t slaveInfo[8];
    VstInt32 slaveInfoWord;
    float* asyncOutputs[kMaxIoChannels];

private:
    enum class CommandResult { Answered, Refused, Late };
    // One exchange: refused without a slave or while the previous signal is pending; otherwise
    // the arguments and code are written, the slave signalled and, unless `wait` is false, the
    // answer awaited for up to 100 ms.
    CommandResult sendCommand(SlaveCommand command, const void* arguments, std::size_t argumentBytes,
                              bool wait);
    // The processing call's part of the connection while not connected.
    void advanceLink();
    // One synchronous or asynchronous exchange of `frames` frames starting at `offset` of the
    // host's buffers; false when the link dropped and no further piece should be sent.
    bool exchangePiece(float** inputs, float** outputs, VstInt32 offset, VstInt32 frames);
    void silenceOutputs(float** outputs, VstInt32 frames);
    bool describePin(VstInt32 index, VstInt32 count, const char* pairFormat, const char* singleFormat,
                     VstPinProperties* properties);
    void applyPendingIo();

    const DeliverableIdentity* ident;
    CommandResult lastCommand = CommandResult::Refused;  // outcome of the latest sendCommand
    bool asyncStarted = false;  // an asynchronous block has been handed to the slave
    std::chrono::steady_clock::time_point processConnectAllowedAt{};
    std::chrono::steady_clock::time_point startSentAt{};
    bool startAnswerOverdue() const;
    // Takes the start answer if it comes within `milliseconds`: connected, or the wait given up.
    bool pickUpStartAnswer(std::uint32_t milliseconds);
};
