#include "host/framework/memory.h"

#include "host/verifier/verifier.h"

extern "C" PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize)
{
    host::RequireMaxDispatch("WdfMemoryGetBuffer");
    auto* memory = host::FromHandleAs<host::Memory>(Memory, host::ObjectType::Memory, "WdfMemoryGetBuffer");
    if (BufferSize != nullptr) {
        *BufferSize = memory->Bytes.size();
    }
    return memory->Bytes.data();
}
