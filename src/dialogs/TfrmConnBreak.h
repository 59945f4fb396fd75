#pragma once

#include <QDialog>

#include <optional>

class QCheckBox;
class QLabel;
class QPushButton;

namespace sp {

// The question asked when the link has been lost: restore it, "Да" or "Нет".
class TfrmConnBreak : public QDialog
{
    Q_OBJECT

public:
    explicit TfrmConnBreak(QWidget* parent = nullptr);

    [[nodiscard]] QLabel* Label1() const { return FLabel1; }
    [[nodiscard]] QLabel* Image1() const { return FImage1; }
    [[nodiscard]] QPushButton* Button1() const { return FButton1; }
    [[nodiscard]] QPushButton* Button2() const { return FButton2; }
    [[nodiscard]] QCheckBox* chbAuto() const { return FchbAuto; }

    // Closing by the title bar answers "Нет".
    void reject() override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QCheckBox* FchbAuto = nullptr;
    QLabel* FLabel1 = nullptr;
    QLabel* FImage1 = nullptr;
    QPushButton* FButton2 = nullptr;
    QPushButton* FButton1 = nullptr;
};

// Shows the dialog modally; true exactly when the answer is "Да".
[[nodiscard]] bool AskRestoreConnection();

// Test seam: the next AskRestoreConnection returns this answer at once.
void SetNextRestoreAnswer(std::optional<bool> answer);

} // namespace sp
