#pragma once

#include <cstdint>

namespace platform {

// Window message numbers that carry device and upload events to the main window.
inline constexpr unsigned kWmUser = 0x400;
inline constexpr unsigned WM_DEVICE_RECEIVE = kWmUser + 1;  // wParam index, lParam tag
inline constexpr unsigned WM_DEVICE_CLOSE = kWmUser + 2;    // wParam index, lParam tag
inline constexpr unsigned WM_DEVICE_ACCEPT = kWmUser + 3;   // wParam index, lParam tag
inline constexpr unsigned WM_UPLOAD_DONE = kWmUser + 5;     // wParam 1 success / 2 failure

using WParam = std::uintptr_t;
using LParam = std::intptr_t;

// Something that accepts posted messages. A post only queues: the message is handled later by
// the target's own loop, after the poster has returned, in the order of posting.
class MessageTarget {
  public:
    virtual ~MessageTarget() = default;
    virtual void PostMessage(unsigned message, WParam wParam, LParam lParam) = 0;
};

}  // namespace platform
