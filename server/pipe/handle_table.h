#pragma once
// Per-connection tables of the searches and files a pipe client opened. A handle is
// (generation << 32) | (slot + 1): 0 never names anything, and a handle of a closed item stays
// dead after its slot is reused, so a stale or forged value reaches nothing.

#include <array>
#include <cstdint>
#include <optional>
#include <utility>

namespace tolmark {

using PipeHandle = std::uint64_t;

template <typename T, std::size_t Capacity>
class HandleTable {
public:
    // The handle of the stored item, or 0 when the table is full.
    PipeHandle insert(T&& item) {
        for (std::size_t i = 0; i < Capacity; ++i) {
            Slot& slot = slots_[i];
            if (slot.item) continue;
            slot.item.emplace(std::move(item));
            ++slot.generation;
            return (static_cast<PipeHandle>(slot.generation) << 32) | (i + 1);
        }
        return 0;
    }

    T* find(PipeHandle handle) {
        Slot* slot = slotOf(handle);
        return slot != nullptr ? &*slot->item : nullptr;
    }

    bool erase(PipeHandle handle) {
        Slot* slot = slotOf(handle);
        if (slot == nullptr) return false;
        slot->item.reset();
        return true;
    }

    std::size_t size() const {
        std::size_t count = 0;
        for (const Slot& slot : slots_) count += slot.item ? 1 : 0;
        return count;
    }

private:
    struct Slot {
        std::optional<T> item;
        std::uint32_t generation = 0;
    };

    Slot* slotOf(PipeHandle handle) {
        const std::uint64_t index = handle & 0xFFFFFFFFu;
        const auto generation = static_cast<std::uint32_t>(handle >> 32);
        if (index == 0 || index > Capacity) return nullptr;
        Slot& slot = slots_[index - 1];
        if (!slot.item || slot.generation != generation) return nullptr;
        return &slot;
    }

    std::array<Slot, Capacity> slots_{};
};

}  // namespace tolmark
