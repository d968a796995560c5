#include "platform/netext/NEProvider.h"

namespace corvantis {

void NEProvider::startSystemExtensionMode()
{
    // Nothing to prepare yet: the providers and their flow sources are made when they are started.
}

} // namespace corvantis
