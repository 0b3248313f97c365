// A hash index for tables that keep their own entries: the symbol table
// (entries by text) and the output's string pool and debug file names
// (entries by their bytes).  It finds an entry in time independent of the
// number of entries, so that compiles of many names or strings cost time in
// proportion to their input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace qxl {

// Hash of a text: well mixed, a word of the text at a time.
inline std::uint32_t text_hash(std::string_view text) {
  constexpr std::uint64_t multiplier = 0xBF58476D1CE4E5B9ull;
  const auto load_u64 = [](const char* p) {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
  };
  const auto load_u32 = [](const char* p) {
    std::uint32_t word;
    std::memcpy(&word, p, 4);
    return word;
  };
  const char* p = text.data();
  const std::size_t n = text.size();
  std::uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
  // Whole words, the last one overlapping the one before it when the length
  // is no multiple of eight; shorter texts in two overlapping halves or three
  // single bytes.  With the length mixed in, equal words mean equal texts.
  if (n >= 8) {
    std::size_t i = 0;
    for (; i + 8 < n; i += 8) {
      h = (h ^ load_u64(p + i)) * multiplier;
      h ^= h >> 31;
    }
    h = (h ^ load_u64(p + n - 8)) * multiplier;
  } else if (n >= 4) {
    const std::uint64_t word =
        load_u32(p) | (std::uint64_t{load_u32(p + n - 4)} << 32);
    h = (h ^ word) * multiplier;
  } else if (n != 0) {
    const auto byte = [p](std::size_t i) {
      return std::uint64_t{static_cast<unsigned char>(p[i])};
    };
    h = (h ^ (byte(0) | byte(n / 2) << 8 | byte(n - 1) << 16)) * multiplier;
  }
  h = (h ^ (h >> 29)) * 0x94D049BB133111EBull;
  return static_cast<std::uint32_t>(h ^ (h >> 32));
}

// Values (an entry's address or offset) with their hashes, in open
// addressing with linear probing: a power-of-two number of slots, at most
// three quarters of them used.  The slots are filled in whole on growth, so
// all of them are resident: a fuller table keeps a large compile's memory
// down at the price of slightly longer probes.
template <typename Value>
struct HashIndex {
  struct Slot {
    Value value{};
    std::uint32_t hash = 0;
    bool used = false;
  };
  static constexpr std::size_t initial_slots = 1024;

  std::vector<Slot> slots;
  std::size_t used = 0;

  void clear() {
    slots.clear();
    used = 0;
  }

  // The value of this hash that `matches` accepts, or null.
  template <typename Matches>
  const Value* find(std::uint32_t hash, Matches matches) const {
    if (slots.empty()) return nullptr;
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = hash & mask; slots[i].used; i = (i + 1) & mask)
      if (slots[i].hash == hash && matches(slots[i].value))
        return &slots[i].value;
    return nullptr;
  }

  void insert(std::uint32_t hash, Value value) {
    if (slots.empty()) slots.resize(initial_slots);
    place({value, hash, true});
    if (++used * 4 <= slots.size() * 3) return;
    std::vector<Slot> old(slots.size() * 2);
    old.swap(slots);
    for (const Slot& slot : old)
      if (slot.used) place(slot);
  }

 private:
  void place(const Slot& slot) {
    const std::size_t mask = slots.size() - 1;
    std::size_t i = slot.hash & mask;
    while (slots[i].used) i = (i + 1) & mask;
    slots[i] = slot;
  }
};

}  // namespace qxl
