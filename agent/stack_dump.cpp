#include "agent.h"

namespace vandrel {

void dump_threads(int32_t /*fd*/, int64_t /*max_frames*/)
{
}

}  // namespace vandrel
