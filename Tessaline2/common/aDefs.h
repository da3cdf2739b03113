// Shared definitions: module model names and the library's debug output switches.
#ifndef TESSALINE_ADEFS_H
#define TESSALINE_ADEFS_H

#include <atomic>
#include <cstdint>

// Short model name for a module's model number (4, 5 and 13..27 are known); "Unknown" otherwise.
const char* aDefs_GetModelName(int model);

// Library debug output (standard output). Off unless a build or a test switches it on.
// aTessalineDebuggingEnable: bit 0 turns output on. aTessalineDebuggingLevel: topic bits below.
extern std::atomic<uint32_t> aTessalineDebuggingEnable;
extern std::atomic<uint32_t> aTessalineDebuggingLevel;

#define aDEBUG_LINK 0x1u        // link life cycle, handshake and registry
#define aDEBUG_PACKET 0x2u      // packet trace
#define aDEBUG_SERVER 0x4u      // network-sharing server
#define aDEBUG_MULTICAST 0x8u   // multicast sockets
#define aDEBUG_DISCOVERY 0x10u  // network discovery
#define aDEBUG_MODULE 0x40u     // module messages
#define aDEBUG_BEACON 0x200u    // beacon interface and server specifier
#define aDEBUG_USB 0x400u       // USB

// True when debug output is on and any of the topic bits is selected.
bool aDebug_Enabled(uint32_t topic);
// printf-style line to standard output, flushed at once, when aDebug_Enabled(topic).
// Lines from several threads do not interleave.
void aDebug_Printf(uint32_t topic, const char* format, ...) __attribute__((format(printf, 2, 3)));

#endif
