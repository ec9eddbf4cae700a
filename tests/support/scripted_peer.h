// scripted_peer: a device on the far side of a pseudo-terminal, played from a
// script, for tests and benchmarks that drive the tools' real serial code.
//
// StartScriptedPeer opens a pseudo-terminal pair (master side raw), binds the
// slave to a COM number through the POSIX backend's table (BindComPort), and
// starts a peer thread that plays the steps in order on the master side while
// recording every byte it receives. When the script is done the peer keeps
// recording, silently, until StopScriptedPeer. The peer thread touches only
// the master side and its own record; the test thread reads the record
// through PeerReceived, which takes the peer's lock.
//
// A step never blocks forever: one that waits for bytes gives up when none
// has come for PEER_STEP_LIMIT_MS and notes why in PeerError, so a broken
// tool fails its test instead of hanging it.
//
// Typical use:
//   ScriptedPeer* peer = StartScriptedPeer(7, {PeerExpect(4, identify_reply)});
//   ASSERT_EQ(OpenToolPort(7), 1);
//   ... call the code under test ...
//   CloseToolPort();
//   std::string got = StopScriptedPeer(peer);   // every byte the peer received
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

struct ToolProfile;
extern const ToolProfile BRANNIK_PROFILE;

enum {
    PEER_STEP_LIMIT_MS = 5000,  // longest wait of one step for bytes, ms
    PEER_DRAIN_QUIET_MS = 30,   // quiet time that ends the final drain at stop, ms
};

enum PeerStepKind {
    PEER_EXPECT,   // take `count` bytes, then send `reply` after `delay_ms`
    PEER_SEND,     // send `reply` after `delay_ms`, taking nothing first
    PEER_PROBES,   // take bytes until the `count`-th 0x55; send `reply` to it and
                   // `per_probe` to each probe before it
    PEER_SILENT,   // take and record whatever comes for `delay_ms`, answer nothing
    PEER_HANG_UP,  // close the master side; the tool's next write fails
};

struct PeerStep {
    PeerStepKind kind;
    unsigned count;         // PEER_EXPECT: bytes; PEER_PROBES: which probe (1 = first)
    std::string reply;      // bytes sent at the end of the step
    unsigned delay_ms;      // pause before the reply; PEER_SILENT: its length
    std::string per_probe;  // PEER_PROBES: bytes sent back to each earlier probe
};

PeerStep PeerExpect(unsigned count, const std::string& reply, unsigned delay_ms = 0);
PeerStep PeerSend(const std::string& bytes, unsigned delay_ms = 0);
PeerStep PeerProbes(unsigned answered_probe, const std::string& reply,
                    const std::string& per_probe = std::string());
PeerStep PeerSilent(unsigned ms);
PeerStep PeerHangUp();

struct ScriptedPeer;  // opaque

// nullptr when the pseudo-terminal cannot be made.
ScriptedPeer* StartScriptedPeer(int com, const std::vector<PeerStep>& script);
std::string PeerReceived(ScriptedPeer* peer);  // every byte received so far
int PeerScriptDone(ScriptedPeer* peer);        // 1 once every step has been played
std::string PeerError(ScriptedPeer* peer);     // "" unless a step gave up
// Abandons what is left of the script, drains the bytes still on the way
// (until PEER_DRAIN_QUIET_MS pass without one), stops the thread, closes the
// pair and unbinds the COM number. Returns every byte received; peer is freed.
std::string StopScriptedPeer(ScriptedPeer* peer);

// Opens COM `com` the way the tool does: selects the profile, stores the
// selected port, marks a port worker as present, and calls OpenComPort.
int  OpenToolPort(int com, const ToolProfile* profile = &BRANNIK_PROFILE);
void CloseToolPort();  // CloseComPort, then forgets the port worker mark

// Bytes from a list of values: Bytes({0x0F, 0x03, 0xFF, 0x01, 0xFE}).
std::string Bytes(std::initializer_list<int> values);
