// What a probe needs from the network: one exchange at a time, answered
// later through its callback. The exporter runs them on the shared engine;
// tests answer them from a script.
#ifndef EXPORTER_TRANSPORT_H
#define EXPORTER_TRANSPORT_H

#include "tagengine.h"

namespace exporter {

class Transport {
public:
    virtual ~Transport() = default;
    // Starts the exchange. Its done callback runs exactly once, later, on
    // the transport's own thread, never from inside submit.
    virtual void submit(tagengine::Exchange exchange) = 0;
};

}  // namespace exporter

#endif
