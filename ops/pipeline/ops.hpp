// The ops of _mirlow. Internal to the module: the host reaches them only
// through the pointers handed over at registration.
#pragma once

#include "pipeline/data.hpp"

namespace mirlow {

void fifo_window_buffer_op(pipeline::Data& data);
void average_op(pipeline::Data& data);
void csv_sink_op(pipeline::Data& data);

}  // namespace mirlow
