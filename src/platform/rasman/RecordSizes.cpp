#include "platform/rasman/RecordSizes.h"

namespace sp::ras {

namespace {

enum class Family { Win95, Me, Nt4, Win2000, Xp };

Family FamilyOf(const MachineVersion& v)
{
    const int code = v.Code();
    if (!v.nt)
        return code >= 490 ? Family::Me : Family::Win95;
    if (code < 500)
        return Family::Nt4;
    return code == 500 ? Family::Win2000 : Family::Xp;
}

} // namespace

bool SizeAccepted(Record r, uint32_t size, const MachineVersion& v)
{
    const Family f = FamilyOf(v);
    const bool newer = f != Family::Win95;                         // 0x401 layouts
    const bool w2k = f == Family::Win2000 || f == Family::Xp;     // 0x500 layouts
    switch (r) {
    case Record::Conn:
        return size == 412 || (newer && size == 676) || (w2k && size == 692);
    case Record::ConnStatus:
        return size == 160 || (newer && size == 288);
    case Record::DialParams:
        return size == 1052 || (newer && size == 1060);
    case Record::EntryName:
        return size == 264 || (w2k && size == 532);
    case Record::Entry:
        return size == 1768 || (newer && size == 1796) || (w2k && size == 2088)
            || (f == Family::Xp && size == 2884);
    case Record::DevInfo:
        return size == 152;
    case Record::Stats:
        return w2k && size == 60;
    }
    return false;
}

uint32_t NativeSize(Record r, const MachineVersion& v)
{
    const Family f = FamilyOf(v);
    const bool w2k = f == Family::Win2000 || f == Family::Xp;
    switch (r) {
    case Record::Conn:
        return w2k ? 692 : (f == Family::Win95 ? 412 : 676);
    case Record::ConnStatus:
        return f == Family::Win95 ? 160 : 288;
    case Record::DialParams:
        return f == Family::Win95 ? 1052 : 1060;
    case Record::EntryName:
        return w2k ? 532 : 264;
    case Record::Entry:
        return f == Family::Xp ? 2884 : (f == Family::Win2000 ? 2088 : 1768);
    case Record::DevInfo:
        return 152;
    case Record::Stats:
        return 60;
    }
    return 0;
}

} // namespace sp::ras
