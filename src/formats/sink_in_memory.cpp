#include "formats/sink_in_memory.h"

bool write_bytes(ByteSink& sink, const void* bytes, std::size_t count) {
    sink.bytes.append(static_cast<const char*>(bytes), count);
    return true;
}
