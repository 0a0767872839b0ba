#pragma once

#include "net/device_socket.h"
#include "support/device_faults.h"

namespace testing_support {

// A device socket whose send buffer is small, so a send has to wait soon.
class SmallBufferSocket : public net::DeviceSocket {
  public:
    explicit SmallBufferSocket(app::LogPipe* logPipe = nullptr) : net::DeviceSocket(logPipe) {}
    bool Create(unsigned localPort, int socketType, long eventMask,
                const char* localAddress) override {
        return net::DeviceSocket::Create(localPort, socketType, eventMask, localAddress) &&
               SetSendBufferSize(kSmallSendBuffer);
    }
};

}  // namespace testing_support
