// Uplink dispatch: where the frame classifier sends every data uplink (unconfirmed and confirmed
// up). Runs on a packet-worker thread; may throw Lora::ReceivedFrame::MessageRejectException to
// end the handling of the one frame.
#pragma once

#include "lora/Frame.h"

// Finds the device of the frame's DevAddr and hands the frame to uplink processing. Until the
// device list is wired in, the frame is only noted at debug level.
void DispatchUplink(Lora::ReceivedFrame& frame);
