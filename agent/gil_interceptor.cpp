#include "agent.h"

namespace vandrel {

int32_t gil_interceptor_start(void * /*sink*/, int64_t /*sample_period_us*/,
                              int64_t /*report_period_ms*/, int32_t /*report_fd*/,
                              int32_t /*a*/, int32_t /*b*/, int32_t /*c*/)
{
    return VANDREL_NOT_AVAILABLE;
}

int32_t gil_interceptor_stop()
{
    return VANDREL_NOT_AVAILABLE;
}

bool gil_thread_waiting(unsigned long /*native_thread_id*/)
{
    return false;
}

}  // namespace vandrel
