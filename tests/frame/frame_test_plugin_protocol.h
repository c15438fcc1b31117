// What the test plug-in module (frame_test_plugin.cpp) does on request, shared with the tests
// that load it. Requests travel as effVendorSpecific indexes; the plug-in reports through
// audioMasterVendorSpecific calls to the host.
#pragma once

#include "frame/vst_abi.h"

constexpr VstInt32 kTestUniqueId = fourCharCode('T', 'f', 'r', 'm');
constexpr VstInt32 kTestPrograms = 2;
constexpr VstInt32 kTestParams = 3;

// The factory asks the host (effect null, audioMasterVendorSpecific, this index) what to do.
constexpr VstInt32 kFactoryQuery = fourCharCode('f', 'a', 'c', 't');
constexpr VstIntPtr kFactoryCreate = 0;
constexpr VstIntPtr kFactoryRefuse = 1;  // return null
constexpr VstIntPtr kFactoryThrow = 2;   // throw from createEffectInstance

// effVendorSpecific requests.
constexpr VstInt32 kRequestModuleHandle = fourCharCode('m', 'o', 'd', 'h');  // answers moduleHandle
constexpr VstInt32 kRequestThrow = fourCharCode('t', 'h', 'r', 'w');         // throws

// audioMasterVendorSpecific reports from close() and from the destructor.
constexpr VstInt32 kReportClose = fourCharCode('c', 'l', 'o', 's');
constexpr VstInt32 kReportDestroyed = fourCharCode('d', 't', 'o', 'r');

constexpr VstInt32 kThrowingParameter = 99;  // setParameter and getParameter throw for it
constexpr VstInt32 kThrowingFrames = 13;     // the processing operations throw for this count
constexpr VstIntPtr kCloseAnswer = 77;       // the plug-in's own dispatcher answer to effClose
