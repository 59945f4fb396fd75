#pragma once

#include <string>

namespace sp {

// What the progress window needs of the running dial: its current progress
// text (UTF-8). The dial thread implements it; the text is read only while
// the dial thread waits inside a send to the window.
class IDialProgress
{
public:
    virtual ~IDialProgress() = default;
    [[nodiscard]] virtual std::string ProgressText() const = 0;
};

} // namespace sp
