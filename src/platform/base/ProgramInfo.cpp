#include "platform/base/ProgramInfo.h"

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string_view>

namespace sp {

bool AnswerHelpOrVersion(int argc, char** argv, std::string_view name, std::string_view usage)
{
    if (argc < 2 || argv[1] == nullptr)
        return false;
    const std::string_view first = argv[1];
    if (first == "--help") {
        std::fwrite(usage.data(), 1, usage.size(), stdout);
        if (!usage.empty() && usage.back() != '\n')
            std::fputc('\n', stdout);
    } else if (first == "--version") {
        const std::string_view version = ProjectVersion();
        std::fprintf(stdout, "%.*s %.*s\n", static_cast<int>(name.size()), name.data(),
                     static_cast<int>(version.size()), version.data());
    } else {
        return false;
    }
    std::fflush(stdout);
    return true;
}

namespace {

// The umask before UsePrivateUmask; -1 until then.
std::atomic<int> gStartingUmask{-1};
std::mutex gUmaskMutex;

} // namespace

void UsePrivateUmask()
{
    const mode_t before = ::umask(077);
    int expected = -1;
    gStartingUmask.compare_exchange_strong(expected, static_cast<int>(before));
}

int SpawnWithStartingUmask(const std::function<int()>& spawn)
{
    const int starting = gStartingUmask.load();
    if (starting < 0)
        return spawn();
    const std::lock_guard lock(gUmaskMutex);
    const mode_t ours = ::umask(static_cast<mode_t>(starting));
    const int rc = spawn();
    ::umask(ours);
    return rc;
}

} // namespace sp
