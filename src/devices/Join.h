// The join procedure's entry: where the frame classifier sends every join request. Runs on a
// packet-worker thread.
#pragma once

#include "lora/Frame.h"

// Checks the join request and answers it with a join accept. Until the join procedure is wired
// in, the request is only noted at debug level.
void handleJoinRequest(Lora::ReceivedFrame& frame);
