#include "report/EventLogText.h"

#include "crypto/uEncrypt.h"
#include "platform/base/Cp1251.h"
#include "platform/rasapi/RasErrorText.h"
#include "report/Privacy.h"

#include <charconv>

namespace sp {

namespace {

constexpr std::string_view kSrc = " : src: ";
constexpr std::string_view kCode = "code: ";
constexpr std::string_view kMsg = "msg: ";

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && s.front() == ' ')
        s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ')
        s.remove_suffix(1);
    return s;
}

std::string Count(size_t bytes) {
    return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

} // namespace

DecipheredLog DecipherLog(std::string_view bytes, uint64_t fileSize, uint64_t leftOut, SecretSet& secrets) {
    DecipheredLog log;
    log.fileSize = fileSize;
    log.leftOut = leftOut;
    if (leftOut > 0) {
        // The tail began inside a line: that piece could only be misread.
        const size_t nl = bytes.find('\n');
        const size_t skip = nl == std::string_view::npos ? bytes.size() : nl + 1;
        log.leftOut += skip;
        bytes.remove_prefix(skip);
    }
    TStoredTextReader reader;
    size_t pos = 0;
    while (pos < bytes.size()) {
        size_t end = bytes.find('\n', pos);
        std::string_view line =
            bytes.substr(pos, end == std::string_view::npos ? std::string_view::npos : end - pos);
        pos = end == std::string_view::npos ? bytes.size() : end + 1;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        std::string text;
        LogLine parsed;
        if (line.empty()) {
        } else if (auto plain = reader.Read(line)) {
            text = Cp1251ToUtf8(*plain);
            ++log.enciphered;
        } else if (text = Cp1251ToUtf8(line); ParseLogLine(text, parsed)) {
            ++log.plain;
        } else {
            text = std::string(kNotDeciphered) + " " + Count(line.size());
            ++log.notDeciphered;
        }
        if (text.find("Pswd: ") != std::string::npos)
            text = MaskDialPassword(text, secrets);
        log.text += text;
        log.text += '\n';
        log.lines.push_back(std::move(text));
    }
    return log;
}

bool ParseLogLine(std::string_view line, LogLine& out) {
    const size_t src = line.find(kSrc);
    if (src == std::string_view::npos || src == 0)
        return false;
    const size_t code = line.find(kCode, src + kSrc.size());
    if (code == std::string_view::npos)
        return false;
    const size_t digits = code + kCode.size();
    const size_t msg = line.find(kMsg, digits);
    if (msg == std::string_view::npos)
        return false;
    int64_t value = 0;
    const std::string_view number = TrimBlanks(line.substr(digits, msg - digits));
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
    if (ec != std::errc() || end != number.data() + number.size())
        return false;
    out.time = std::string(line.substr(0, src));
    out.source = std::string(TrimBlanks(line.substr(src + kSrc.size(), code - src - kSrc.size())));
    out.code = value;
    out.text = std::string(line.substr(msg + kMsg.size()));
    return true;
}

std::vector<DialRecord> LastDials(const std::vector<std::string>& lines, size_t count) {
    std::vector<DialRecord> dials;
    for (const std::string& text : lines) {
        LogLine l;
        if (!ParseLogLine(text, l))
            continue;
        if (l.source == "DIAL-params") {
            DialRecord d;
            d.time = l.time;
            d.params = std::string(TrimBlanks(l.text));
            dials.push_back(std::move(d));
            continue;
        }
        if (dials.empty())
            continue;
        DialRecord& d = dials.back();
        if (d.outcome == DialRecord::Outcome::Failed)
            continue; // its later lines are the hang-up after the failure
        if ((l.source == "RAS-Dial" || l.source == "RAS-Dialing error code") && l.code != 0) {
            d.outcome = DialRecord::Outcome::Failed;
            d.code = l.code;
            d.logged = l.text;
        } else if (l.source == "THREAD-new-stat" || l.source == "GetAPNList" || l.source == "FIRST_START") {
            d.outcome = DialRecord::Outcome::Connected;
        }
    }
    // A dial followed by another one without a word in between ended without
    // a code (cancelled, or the modem never answered).
    for (size_t i = 0; i + 1 < dials.size(); ++i)
        if (dials[i].outcome == DialRecord::Outcome::Unknown)
            dials[i].outcome = DialRecord::Outcome::NoCode;
    if (dials.size() > count)
        dials.erase(dials.begin(), dials.end() - static_cast<std::ptrdiff_t>(count));
    return dials;
}

std::string ProgramDialErrorText(int64_t code) {
    switch (code) {
    case 0:
        return "Ошибка при соединении.";
    case 734:
        return "Ошибка. Услуга недоступна";
    default:
        return "Ошибка при соединении. Код " + std::to_string(code);
    }
}

std::string ServiceErrorText(int64_t code) {
    if (code < 0 || code > 0xFFFFFFFFll)
        return {};
    return std::string(ras::ErrorText(static_cast<uint32_t>(code)));
}

} // namespace sp
