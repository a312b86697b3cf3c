// Link-time wrappers (-Wl,--wrap) around the PC/SC calls that hold a card, so a test can
// act at the exact moment between two calls of the code under test: reset the card from a
// second connection, or let another program's commands in. The test's own PC/SC calls
// run inside a TestSide scope and pass straight through.
#pragma once

#include <functional>
#include <string>

namespace PcscHooks {

// While one lives on a thread, that thread's PC/SC calls are the test's own: not counted,
// no hook runs.
class TestSide {
 public:
  TestSide();
  ~TestSide();
  TestSide(const TestSide&) = delete;
  TestSide& operator=(const TestSide&) = delete;

 private:
  bool previous_;
};

// Each hook runs on the calling thread of the code under test, inside a TestSide scope.
// After a successful SCardConnect or SCardReconnect.
void SetAfterConnect(std::function<void()> hook);
// Before SCardBeginTransaction and before SCardTransmit.
void SetBeforeCardCall(std::function<void()> hook);
// After SCardTransmit, whatever it returned.
void SetAfterTransmit(std::function<void()> hook);
// Clears every hook and count.
void Clear();

// Calls of the code under test since the last Clear, by function name ("SCardReconnect",
// "SCardBeginTransaction", "SCardEndTransaction", "SCardTransmit", "SCardConnect").
int Count(const std::string& function);

// Resets the card in the reader through a connection of its own, as another program
// would (SCardDisconnect with SCARD_RESET_CARD). False when PC/SC refuses.
bool ResetCardFromAnotherConnection(const std::string& reader);

}  // namespace PcscHooks
