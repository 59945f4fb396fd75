#pragma once

#include "platform/rasapi/ras.h"

#include <memory>
#include <vector>

namespace sp {

// An entry properties record as the service sees it: Size() bytes whose
// first field is that size. The storage is always large enough for the
// largest layout, so the fields of any family can be reached whatever size
// the service reported. Owned by whoever holds it; freed with it.
class TRasEntryRecord {
public:
    explicit TRasEntryRecord(DWORD size);

    [[nodiscard]] DWORD Size() const { return Base().dwSize; }
    // Fields every layout shares (options, number, protocols, device).
    [[nodiscard]] RASENTRY_1768& Base();
    [[nodiscard]] const RASENTRY_1768& Base() const;
    // The 2000/XP fields (dial mode, entry type, encryption).
    [[nodiscard]] RASENTRY_2088& Ext();
    template <class T>
    [[nodiscard]] T* As() {
        static_assert(sizeof(T) <= sizeof(RASENTRY_2884));
        return reinterpret_cast<T*>(storage_.data());
    }

private:
    std::vector<uint64_t> storage_; // 8-byte aligned, zeroed
};

using TRasEntryPtr = std::unique_ptr<TRasEntryRecord>;

} // namespace sp
