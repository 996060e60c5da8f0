#include "HostBuffer.h"

#include <array>
#include <cstdint>

namespace {
constexpr bool kAddressFits = sizeof(void*) <= sizeof(std::uint32_t);

// One request is on its way at a time (one thread); a few slots leave room for a nested one.
std::array<void*, 4> g_lent{};
}  // namespace

std::uint32_t HostBuffer_Lend(void* buffer)
{
    if (buffer == nullptr) return 0;
    if constexpr (kAddressFits) {
        return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(buffer));
    } else {
        for (std::size_t i = 0; i < g_lent.size(); ++i) {
            if (g_lent[i] == nullptr) {
                g_lent[i] = buffer;
                return static_cast<std::uint32_t>(i + 1);
            }
        }
        return 0;
    }
}

void* HostBuffer_Find(std::uint32_t field)
{
    if (field == 0) return nullptr;
    if constexpr (kAddressFits) {
        return reinterpret_cast<void*>(static_cast<std::uintptr_t>(field));
    } else {
        if (field > g_lent.size()) return nullptr;
        return g_lent[field - 1];
    }
}

void HostBuffer_Return(std::uint32_t field)
{
    if constexpr (!kAddressFits) {
        if (field >= 1 && field <= g_lent.size()) g_lent[field - 1] = nullptr;
    }
}
