// Framework memory objects: a buffer owned by an object in the tree.
#pragma once

#include "host/framework/object.h"

#include <vector>

namespace host {

class Memory final : public Object {
public:
    Memory(Object* parent, size_t size) : Object(ObjectType::Memory, parent), Bytes(size, 0) {}
    std::vector<unsigned char> Bytes;
    WDFMEMORY Handle() { return reinterpret_cast<WDFMEMORY>(this); }
};

} // namespace host
