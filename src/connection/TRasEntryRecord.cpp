#include "connection/TRasEntryRecord.h"

#include <algorithm>

namespace sp {

TRasEntryRecord::TRasEntryRecord(DWORD size)
    : storage_((std::max<size_t>(size, sizeof(RASENTRY_2884)) + 7) / 8, 0) {
    Base().dwSize = size;
}

RASENTRY_1768& TRasEntryRecord::Base() { return *As<RASENTRY_1768>(); }
const RASENTRY_1768& TRasEntryRecord::Base() const {
    return *reinterpret_cast<const RASENTRY_1768*>(storage_.data());
}
RASENTRY_2088& TRasEntryRecord::Ext() { return *As<RASENTRY_2088>(); }

} // namespace sp
