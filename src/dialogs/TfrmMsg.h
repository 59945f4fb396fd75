#pragma once

#include <QDialog>

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

class QLabel;
class QPushButton;

namespace sp {

enum class MsgKind : uint8_t { Warning = 0, Error = 1, Info = 2, Confirm = 3 };
enum class MsgButton : uint8_t { Yes = 0, No = 1, Ok = 2, Cancel = 3 };

// Modal results of the message box's buttons; closing the box gives mrCancel.
inline constexpr int mrOk = 1;
inline constexpr int mrCancel = 2;
inline constexpr int mrYes = 6;
inline constexpr int mrNo = 7;

// Where the parts of a message box go for a text of textWidth pixels and a
// row of buttonCount buttons.
struct TMsgLayout {
    int windowWidth;
    int labelWidth;
    int firstLeft;
};
[[nodiscard]] TMsgLayout MsgLayout(int textWidth, int buttonCount);

// The program's message box: one line of text, a picture by kind, and a row
// of Russian buttons centred under it. The box grows wider, never taller.
class TfrmMsg : public QDialog
{
    Q_OBJECT

public:
    TfrmMsg(const QString& text, MsgKind kind, const std::vector<MsgButton>& buttons);

    [[nodiscard]] QLabel* lblMsg() const { return FlblMsg; }
    [[nodiscard]] QLabel* imgWarning() const { return FimgWarning; }
    [[nodiscard]] QLabel* imgError() const { return FimgError; }
    [[nodiscard]] QLabel* imgInfo() const { return FimgInfo; }
    [[nodiscard]] QLabel* imgConfirm() const { return FimgConfirm; }
    [[nodiscard]] const std::vector<QPushButton*>& Buttons() const { return FButtons; }

    // Closing by the title bar answers like "Отменить".
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QLabel* FlblMsg = nullptr;
    QLabel* FimgWarning = nullptr;
    QLabel* FimgError = nullptr;
    QLabel* FimgInfo = nullptr;
    QLabel* FimgConfirm = nullptr;
    std::vector<QPushButton*> FButtons;
};

// Shows the box modally and returns the modal result of the pressed button.
int32_t ShowMsg(const QString& text, MsgKind kind, const std::vector<MsgButton>& buttons);
int32_t ShowMsg(std::string_view utf8Text, MsgKind kind, const std::vector<MsgButton>& buttons);

// Test seam: the next ShowMsg returns this answer at once, without showing
// the box; the caller of the box can then be tested without a person.
void SetNextMsgAnswer(std::optional<int32_t> answer);

} // namespace sp
