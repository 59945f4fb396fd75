// Shows each dialog and control of the program in its states, so they can be
// looked at without a modem; with --screenshots DIR it saves them as PNGs.

#include "controls/TGPRSButton.h"
#include "controls/TGraphPanel.h"
#include "controls/TTransPanel.h"
#include "dialogs/ProgramFont.h"
#include "dialogs/TfrmConnBreak.h"
#include "dialogs/TfrmMsg.h"
#include "dialogs/TfrmProgress.h"
#include "platform/base/ProgramInfo.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include <cmath>
#include <cstdio>
#include <functional>
#include <memory>
#include <vector>

using namespace sp;

namespace {

struct TButtonLook {
    const char* caption;
    int width;
    int height;
    TColor extColor;
    TColor intColor;
    int extWidth;
    int intWidth;
};

// The five buttons of the main window.
const TButtonLook kButtons[] = {
    {"Соединить", 193, 30, 14866637, clBlack, 2, 0}, {"Не согласен", 85, 25, clBlack, 7603712, 0, 0},
    {"Согласен", 85, 25, clBlack, clBlack, 0, 0},    {"Выбрать", 75, 25, clInactiveCaption, 16169404, 0, 2},
    {"Далее", 75, 25, clBlack, clBlack, 0, 0},
};

TGPRSButton* MakeButton(QWidget* parent, const TButtonLook& look, int x, int y)
{
    auto* button = new TGPRSButton(parent);
    button->setGeometry(x, y, look.width, look.height);
    button->SetCaption(QString::fromUtf8(look.caption));
    button->setFont(ProgramFont(12));
    button->SetBorderWidth(1);
    button->SetCurve(4);
    button->SetBgColor(clWhite);
    button->SetBorderColor(7603712);
    button->SetDownColor(16169404);
    button->SetColor(15791348);
    button->SetExtColor(look.extColor);
    button->SetIntColor(look.intColor);
    button->SetExtWidth(look.extWidth);
    button->SetIntWidth(look.intWidth);
    return button;
}

QLabel* MakeLabel(QWidget* parent, const QString& text, int x, int y)
{
    auto* label = new QLabel(text, parent);
    label->setFont(ProgramFont(11));
    label->move(x, y);
    label->adjustSize();
    return label;
}

std::unique_ptr<QWidget> WhitePage(int w, int h, const QString& title)
{
    auto page = std::make_unique<QWidget>();
    page->setWindowTitle(title);
    page->setFixedSize(w, h);
    QPalette palette = page->palette();
    palette.setColor(QPalette::Window, Qt::white);
    page->setPalette(palette);
    page->setAutoFillBackground(true);
    return page;
}

// Released, pressed and disabled: one column each.
std::unique_ptr<QWidget> ButtonsPage()
{
    auto page = WhitePage(660, 230, QStringLiteral("TGPRSButton"));
    const int columns[] = {10, 230, 450};
    const char* headings[] = {"отпущена", "нажата", "недоступна"};
    for (int c = 0; c < 3; ++c) {
        MakeLabel(page.get(), QString::fromUtf8(headings[c]), columns[c], 8);
        int y = 30;
        for (const TButtonLook& look : kButtons) {
            TGPRSButton* button = MakeButton(page.get(), look, columns[c], y);
            if (c == 1)
                button->SetPressed(true);
            if (c == 2)
                button->SetEnabled(false);
            y += look.height + 10;
        }
    }
    return page;
}

std::unique_ptr<QWidget> GraphPage()
{
    auto page = WhitePage(424, 125, QStringLiteral("TGraphPanel"));
    MakeLabel(page.get(), QStringLiteral("заполняется"), 10, 8);
    MakeLabel(page.get(), QStringLiteral("прокручивается (после всплеска)"), 222, 8);
    auto* filling = new TGraphPanel(page.get());
    auto* scrolling = new TGraphPanel(page.get());
    int x = 10;
    for (TGraphPanel* graph : {filling, scrolling}) {
        graph->setGeometry(x, 30, 192, 45);
        graph->SetColor(clWhite);
        graph->SetBevelOuter(TPanel::TBevel::None);
        graph->SetGrapgColor(1482540);
        graph->SetBottomColor(9687450);
        graph->SetScaleLength(40);
        graph->SetRectWidth(60);
        x += 212;
    }
    for (int i = 0; i < 25; ++i)
        filling->AddSample(static_cast<uint32_t>(i % 7 == 3 ? 0 : 400 + 350 * std::sin(i / 3.0) + i * 20));
    scrolling->AddSample(9000);
    for (int i = 0; i < 45; ++i)
        scrolling->AddSample(static_cast<uint32_t>(3000 + 2500 * std::sin(i / 4.0)));
    MakeLabel(page.get(), QStringLiteral("Значение под указателем (x = 100): %1 байт/с").arg(filling->ValueAt(100)),
              10, 90);
    return page;
}

QPixmap BackgroundPicture()
{
    QPixmap picture(500, 360);
    QPainter painter(&picture);
    QLinearGradient gradient(0, 0, 0, 360);
    gradient.setColorAt(0, QColor(120, 160, 210));
    gradient.setColorAt(1, QColor(235, 240, 250));
    painter.fillRect(picture.rect(), gradient);
    painter.setPen(QColor(90, 120, 170));
    for (int x = -360; x < 500; x += 24)
        painter.drawLine(x, 0, x + 360, 360);
    return picture;
}

// A page panel over the window's background, with and without edge lines.
std::unique_ptr<QWidget> TransPanelPage()
{
    auto page = WhitePage(500, 360, QStringLiteral("TTransPanel"));
    auto* image = new QLabel(page.get());
    image->setGeometry(0, 0, 500, 360);
    image->setPixmap(BackgroundPicture());
    auto* panel = new TTransPanel(page.get());
    panel->setGeometry(0, 52, 500, 265);
    panel->SetImage(image);
    panel->SetImageTop(-52);
    panel->SetBorderWidth(2);
    panel->SetBorderLeft(true);
    panel->SetBorderRight(true);
    panel->SetBorderTop(true);
    panel->SetBorderBottom(true);
    panel->SetBorderColor(4934217);
    auto* inner = new TTransPanel(panel);
    inner->setGeometry(100, 60, 300, 120);
    inner->SetImage(image);
    inner->SetImageTop(-52 - 60);
    inner->SetImageLeft(-100);
    MakeLabel(inner, QStringLiteral("Страница без рамки: фон окна виден насквозь"), 10, 50);
    return page;
}

class TFakeDial : public IDialProgress
{
public:
    std::string ProgressText() const override { return "Набор номера *99***1#..."; }
};

struct TShot {
    QString file;
    std::function<void(QWidget*)> prepare;
    std::unique_ptr<QWidget> widget;
};

std::vector<TShot> MakeShots(const TFakeDial& dial)
{
    std::vector<TShot> shots;
    shots.push_back({QStringLiteral("buttons.png"), nullptr, ButtonsPage()});
    shots.push_back({QStringLiteral("graph.png"), nullptr, GraphPage()});
    shots.push_back({QStringLiteral("transpanel.png"), nullptr, TransPanelPage()});

    shots.push_back({QStringLiteral("msg-confirm.png"), nullptr,
                     std::make_unique<TfrmMsg>(QStringLiteral("Соединение с Интернетом открыто. Закрыть его?"),
                                               MsgKind::Confirm,
                                               std::vector{MsgButton::Yes, MsgButton::No, MsgButton::Cancel})});
    shots.push_back(
        {QStringLiteral("msg-error.png"), nullptr,
         std::make_unique<TfrmMsg>(QStringLiteral("Ошибка: выбраный модем в системе не зарегистрирован. "
                                                  "Выберите другой модем для соединения"),
                                   MsgKind::Error, std::vector{MsgButton::Ok})});
    shots.push_back({QStringLiteral("msg-warning.png"), nullptr,
                     std::make_unique<TfrmMsg>(QStringLiteral("Внимание: модем не отвечает"), MsgKind::Warning,
                                               std::vector{MsgButton::Ok})});
    shots.push_back({QStringLiteral("msg-info.png"), nullptr,
                     std::make_unique<TfrmMsg>(QStringLiteral("Список точек доступа обновлён"), MsgKind::Info,
                                               std::vector{MsgButton::Ok})});
    shots.push_back({QStringLiteral("connbreak.png"), nullptr, std::make_unique<TfrmConnBreak>()});

    auto dialling = std::make_unique<TfrmProgress>();
    dialling->SetDialProgress(&dial);
    dialling->PrepareForDial();
    shots.push_back({QStringLiteral("progress-dialling.png"),
                     [](QWidget* w) {
                         auto* form = static_cast<TfrmProgress*>(w);
                         for (UINT msg : {WM_PROGRESS_ATTEMPT, WM_PROGRESS_STEP, WM_PROGRESS_STEP, WM_PROGRESS_STEP})
                             SendMessage(form->Handle(), msg, 0, 0);
                         for (int i = 0; i < 20; ++i)
                             SendMessage(form->Handle(), WM_PROGRESS_STEP, 1, 0);
                     },
                     std::move(dialling)});

    for (const bool unfolded : {false, true}) {
        auto failed = std::make_unique<TfrmProgress>();
        failed->SetDetails("Error 678: The remote computer did not respond.\r\n\r\n"
                           "Line 2: the modem answered NO CARRIER\r\nLine 3: APN internet\r\n");
        failed->bar()->hide();
        failed->lblProgress()->setText(QStringLiteral("Ошибка соединения."));
        failed->btnDetail()->show();
        failed->btnClose()->setText(QStringLiteral("Закрыть"));
        if (unfolded)
            failed->btnDetailClick();
        shots.push_back({unfolded ? QStringLiteral("progress-details.png") : QStringLiteral("progress-failed.png"),
                         nullptr, std::move(failed)});
    }
    return shots;
}

int TakeScreenshots(const QString& dir)
{
    if (!QDir().mkpath(dir)) {
        std::fprintf(stderr, "cannot create %s\n", qPrintable(dir));
        return 1;
    }
    TFakeDial dial;
    std::vector<TShot> shots = MakeShots(dial);
    int failures = 0;
    for (TShot& shot : shots) {
        shot.widget->show();
        QApplication::processEvents();
        if (shot.prepare)
            shot.prepare(shot.widget.get());
        QApplication::processEvents();
        const QString path = QDir(dir).filePath(shot.file);
        if (!shot.widget->grab().save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            ++failures;
        }
        shot.widget->hide();
    }
    return failures == 0 ? 0 : 1;
}

// A window with one button per dialog, the controls pages open beside it.
int RunInteractive()
{
    TFakeDial dial;
    std::vector<std::unique_ptr<QWidget>> pages;
    pages.push_back(ButtonsPage());
    pages.push_back(GraphPage());
    pages.push_back(TransPanelPage());
    for (auto& page : pages)
        page->show();

    QWidget launcher;
    launcher.setWindowTitle(QStringLiteral("Skyportal gallery"));
    auto* layout = new QVBoxLayout(&launcher);
    auto* result = new QLabel(QStringLiteral("—"), &launcher);
    const auto add = [&](const QString& caption, std::function<QString()> action) {
        auto* button = new QPushButton(caption, &launcher);
        layout->addWidget(button);
        QObject::connect(button, &QPushButton::clicked, [result, action] { result->setText(action()); });
    };
    add(QStringLiteral("ShowMsg: Confirm, Да/Нет/Отменить"), [] {
        return QString::number(ShowMsg(QStringLiteral("Соединение с Интернетом открыто. Закрыть его?"),
                                       MsgKind::Confirm, {MsgButton::Yes, MsgButton::No, MsgButton::Cancel}));
    });
    add(QStringLiteral("ShowMsg: Error, ОК"), [] {
        return QString::number(
            ShowMsg(QStringLiteral("Во время работы программы возникла ошибка конфигурации системы. "
                                   "Восстановление требует перезагрузки."),
                    MsgKind::Error, {MsgButton::Ok}));
    });
    add(QStringLiteral("AskRestoreConnection"),
        [] { return AskRestoreConnection() ? QStringLiteral("true") : QStringLiteral("false"); });
    add(QStringLiteral("TfrmProgress: failed dial"), [&launcher] {
        TfrmProgress form(&launcher);
        form.SetDetails("Error 678: The remote computer did not respond.");
        return QString::number(form.ShowFailure(QStringLiteral("Ошибка соединения.")));
    });
    layout->addWidget(result);
    launcher.show();
    return QApplication::exec();
}

} // namespace

int main(int argc, char* argv[])
{
    if (sp::AnswerHelpOrVersion(argc, argv, "skyportal-gallery",
                                "usage: skyportal-gallery [--screenshots DIR]\n"
                                "Shows the dialogs and controls in their states; with --screenshots, writes\n"
                                "their pictures into DIR and ends.\n"))
        return 0;
    QApplication app(argc, argv);
    const QStringList args = QApplication::arguments();
    const qsizetype at = args.indexOf(QStringLiteral("--screenshots"));
    if (at >= 0) {
        if (at + 1 >= args.size()) {
            std::fprintf(stderr, "usage: skyportal-gallery [--screenshots DIR]\n");
            return 2;
        }
        return TakeScreenshots(args.at(at + 1));
    }
    return RunInteractive();
}
