// HostBuffer.h — host buffers named in the 32-bit fields of the board driver's records.
// On the 32-bit board the field holds the buffer's address, as the driver expects. A 64-bit
// build cannot fit an address there, so it lends the buffer a small handle for the length of
// one request, and the simulated board looks the handle up; the record keeps its layout.
#pragma once
#include <cstdint>

// The value for the record's field: 0 for a NULL buffer or when every handle is lent.
std::uint32_t HostBuffer_Lend(void* buffer);
// The buffer a field names while it is lent; NULL for 0 or a handle not lent.
void* HostBuffer_Find(std::uint32_t field);
// Ends the lending after the request.
void HostBuffer_Return(std::uint32_t field);
