// What the first card insertion after start would otherwise pay for on its registration
// road and no later one does: the trust set the revocation check builds chains with (some
// 150 certificates of the system bundle decoded) and the network stack (a module loaded,
// libcurl set up). The program does it once on its warm-up thread after start-up; a
// registration that comes first does it itself, and one that comes meanwhile waits for the
// step in progress instead of doing it again: each step is done once per process.
#pragma once

#include <functional>

namespace TvrServices {

// `stopping` is asked before each step: the end does not wait for a step not yet begun.
void WarmUpRegistrationRoad(const std::function<bool()>& stopping = nullptr);

} // namespace TvrServices
