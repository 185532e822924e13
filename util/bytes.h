#pragma once
// Plain values written to and read back from a block of bytes, for the messages the
// processes of one build send each other (both ends agree on layout and byte order).

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

// Appends value's bytes to out.
template <typename T>
void vyxPutBytes(std::string& out, const T& value) {
    static_assert(std::is_trivially_copyable<T>::value, "plain values only");
    out.append(reinterpret_cast<const char*>(&value), sizeof(T));
}

// FNV-1a hash of bytes: the same bytes give the same value in every build and process
// (frame hashes, a program's identity). Not for anything an adversary may choose.
inline uint64_t vyxHashBytes(const void* data, size_t size, uint64_t hash = 1469598103934665603ull) {
    const unsigned char* bytes = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) {
        hash ^= bytes[i];
        hash *= 1099511628211ull;
    }
    return hash;
}

// Reads values off the front of a byte range. Every read that would pass the end fails
// and leaves its output alone; data may be null only with size 0.
struct vyxByteReader {
    const uint8_t* data;
    size_t left; // bytes not read yet

    vyxByteReader(const void* bytes, size_t size) : data(static_cast<const uint8_t*>(bytes)), left(size) {}

    template <typename T>
    bool get(T& value) {
        static_assert(std::is_trivially_copyable<T>::value, "plain values only");
        if (data == nullptr || left < sizeof(T))
            return false;
        std::memcpy(&value, data, sizeof(T));
        data += sizeof(T);
        left -= sizeof(T);
        return true;
    }
    // count values of T into values.
    template <typename T>
    bool array(size_t count, std::vector<T>& values) {
        if (count > 0 && (data == nullptr || left / sizeof(T) < count))
            return false;
        values.resize(count);
        if (count > 0)
            std::memcpy(values.data(), data, count * sizeof(T));
        data += count * sizeof(T);
        left -= count * sizeof(T);
        return true;
    }
    // count bytes into out.
    bool bytes(size_t count, std::string& out) {
        if (count > 0 && (data == nullptr || left < count))
            return false;
        out.assign(reinterpret_cast<const char*>(data), count);
        data += count;
        left -= count;
        return true;
    }
};
