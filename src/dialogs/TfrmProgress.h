#pragma once

#include "dialogs/IDialProgress.h"
#include "platform/system/WindowMessages.h"

#include <QDialog>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace sp {

// Messages the dial thread sends to the progress window (wParam and lParam
// are not looked at).
inline constexpr UINT WM_PROGRESS_ADOPTED = WM_USER + 11; // bar almost full: a link was adopted
inline constexpr UINT WM_PROGRESS_STEP = WM_USER + 12;    // bar one step on
inline constexpr UINT WM_PROGRESS_ATTEMPT = WM_USER + 13; // bar at one step: a new attempt

// The always-on-top window that shows a dial's progress and lets the user
// cancel it; after a failed dial it shows the outcome modally, with the error
// details to unfold.
class TfrmProgress : public QDialog
{
    Q_OBJECT

public:
    // Centred on mainWindow when there is one.
    explicit TfrmProgress(QWidget* mainWindow = nullptr);
    ~TfrmProgress() override;

    // The handle the dial thread sends its messages to.
    [[nodiscard]] HWND Handle() const;
    // Where the status line takes its text from after each message; not
    // owned, nullptr for none.
    void SetDialProgress(const IDialProgress* progress);

    // Callable from any thread; each takes GlobalLock for its one field.
    [[nodiscard]] int32_t GetErrorCode() const;
    void SetErrorCode(int32_t code);
    [[nodiscard]] std::string GetDetails() const;
    void SetDetails(const std::string& text);
    [[nodiscard]] bool GetCancelled() const;
    void SetCancelled(bool flag);

    // The bar as the dial thread reads it for its time-out; safe from any thread.
    [[nodiscard]] int BarMax() const { return kBarMax; }
    [[nodiscard]] int BarStep() const { return kBarStep; }
    [[nodiscard]] int BarPosition() const { return FBarPosition.load(std::memory_order_acquire); }

    // Window height counted with its frame, as the window description does.
    [[nodiscard]] int Height() const;
    void SetHeight(int value);

    // Back to dialling mode before a dial: bar shown, details folded and
    // hidden, "Отменить", bar at 0, status "Поиск активных соединений...",
    // cancel flag cleared. The caller then shows the window.
    void PrepareForDial();
    // Result mode after a failed dial: hidden, bar hidden, the status, the
    // details button when there are details, "Закрыть".
    void PrepareFailure(const QString& status);
    // PrepareFailure, then the window modally until it is closed.
    int ShowFailure(const QString& status);

    void btnCloseClick();
    void btnDetailClick();

    [[nodiscard]] QLabel* Image1() const { return FImage1; }
    [[nodiscard]] QLabel* lblProgress() const { return FlblProgress; }
    [[nodiscard]] QPushButton* btnClose() const { return FbtnClose; }
    [[nodiscard]] QProgressBar* bar() const { return Fbar; }
    [[nodiscard]] QPushButton* btnDetail() const { return FbtnDetail; }
    [[nodiscard]] QPlainTextEdit* mDetails() const { return FmDetails; }

    void reject() override;

signals:
    // The status line took a new text from the dial (after each message).
    void statusChanged(const QString& text);
    // The user asked to cancel the dial (dialling mode, button or title bar).
    void cancelRequested();

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    static constexpr int kBarMax = 600;
    static constexpr int kBarStep = 10;

    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam);
    void SetBarPosition(int position);
    void FormShow();

    QLabel* FImage1 = nullptr;
    QLabel* FlblProgress = nullptr;
    QPushButton* FbtnClose = nullptr;
    QProgressBar* Fbar = nullptr;
    QPushButton* FbtnDetail = nullptr;
    QPlainTextEdit* FmDetails = nullptr;

    const IDialProgress* FDialProgress = nullptr;
    std::atomic<int> FBarPosition{0};

    // Guarded by GlobalLock.
    std::string FDetails;
    int32_t FErrorCode = 0;
    bool FCancelled = false;

    std::unique_ptr<TMessageWindow> FWindow;
};

} // namespace sp
