// skyportal-update: the APN update exchange from the command line, for the
// operator's and the support service's checks of an update server.
#include "platform/base/ProgramInfo.h"
#include "update/ApnUpdate.h"
#include "update/HttpFetch.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

std::string UsageText() {
    return std::string("usage: skyportal-update --host HOST --version V [--take-list] [--keys DIR]\n"
                       "       skyportal-update --host HOST --first\n"
                       "       skyportal-update --fetch URL\n"
                       "       skyportal-update --help | --version\n"
                       "Without --host the server is $SKYPORTAL_UPDATE_HOST or ") +
           std::string(sp::kDefaultUpdateHost) +
           "; port 80 always.\n"
           "The operator's keys (apn-list.pub, apn-list-2.pub) are those of --keys DIR, else\n"
           "$SKYPORTAL_APN_KEYS, else share/skyportal beside bin/, else /usr/share/skyportal;\n"
           "with a key a list is taken only with its valid signature.\n";
}

int Usage() {
    std::cerr << UsageText();
    return 2;
}

int RunUpdate(const std::string& host, std::string version, bool takeList, const std::filesystem::path& keysFolder) {
    const sp::TListKeys keys = sp::LoadListKeys(keysFolder);
    std::vector<std::string> apns{"internet"};
    std::string message;
    const bool ok = sp::UpdateAPNList(host, version, apns, message, takeList, keys);
    std::cout << "result: " << (ok ? "true" : "false") << '\n'
              << "version: " << version << '\n'
              << "message: " << message << '\n';
    if (keys.Signed())
        std::cout << "signature: required, " << keys.keys.size() << " key(s) in " << keysFolder.string() << '\n';
    else
        std::cout << "signature: not required, no key in " << keysFolder.string() << '\n';
    // A refused list is not shown: the program would not have taken it.
    if (takeList && ok)
        for (const std::string& apn : apns)
            std::cout << apn << '\n';
    return ok ? 0 : 1;
}

int RunFirst(const std::string& host) {
    std::string error;
    std::string body;
    sp::ReportFirstStart(host, error, body);
    if (!body.empty()) {
        std::cout << "body: " << body << '\n';
        return 0;
    }
    std::cout << "error: " << error << '\n';
    return error.empty() ? 0 : 1;
}

int RunFetch(std::string_view url) {
    std::string body;
    std::string error;
    if (sp::FetchUrl(url, body, error) != sp::TFetchFailure::None) {
        std::cerr << error << '\n';
        return 1;
    }
    std::fwrite(body.data(), 1, body.size(), stdout);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    sp::UsePrivateUmask();
    // Alone, --version is the tool's own; followed by a value, the program
    // version to ask the server about.
    if (argc == 2 && sp::AnswerHelpOrVersion(argc, argv, "skyportal-update", UsageText()))
        return 0;
    std::optional<std::string> host;
    std::optional<std::string> version;
    std::optional<std::string> fetchUrl;
    std::optional<std::string> keysFolder;
    bool takeList = false;
    bool first = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc)
                return std::nullopt;
            return std::string(argv[++i]);
        };
        if (arg == "--host") {
            if (!(host = value()))
                return Usage();
        } else if (arg == "--version") {
            if (!(version = value()))
                return Usage();
        } else if (arg == "--fetch") {
            if (!(fetchUrl = value()))
                return Usage();
        } else if (arg == "--keys") {
            if (!(keysFolder = value()))
                return Usage();
        } else if (arg == "--take-list") {
            takeList = true;
        } else if (arg == "--first") {
            first = true;
        } else {
            return Usage();
        }
    }
    const int modes = int(version.has_value()) + int(first) + int(fetchUrl.has_value());
    if (modes != 1 || ((takeList || keysFolder) && !version) || (fetchUrl && host))
        return Usage();
    if (fetchUrl)
        return RunFetch(*fetchUrl);
    const std::string server = host.value_or(sp::UpdateServerHost());
    if (first)
        return RunFirst(server);
    return RunUpdate(server, *version, takeList,
                     keysFolder ? std::filesystem::path(*keysFolder) : sp::ListKeysFolder());
}
