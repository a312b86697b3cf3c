#include "RegistrationWarmUp.h"

#include "HttpClient.h"
#include "TrustSet.h"

#include <exception>

namespace TvrServices {

void WarmUpRegistrationRoad(const std::function<bool()>& stopping)
{
    auto stop = [&] { return stopping && stopping(); };
    // Only a head start: what fails here is met again, and handled, by the registration.
    try {
        if (stop())
            return;
        // Built under TrustSet's own lock: a checker made meanwhile takes this set.
        TrustSet::Current();
        if (stop())
            return;
        PrepareNetworkStack();
    } catch (const std::exception&) {
    }
}

} // namespace TvrServices
