// The main window's components, its pages and wizard stages, the agreement
// page and the modem list.

#include "app/fGprsMain.h"

#include "app/TApplication.h"
#include "app/TLinkLabel.h"
#include "connection/ConnectionState.h"
#include "dialogs/TfrmMsg.h"
#include "connection/PhonebookEntries.h"
#include "connection/TStatThread.h"
#include "controls/TGPRSButton.h"
#include "controls/TGraphPanel.h"
#include "controls/TTransPanel.h"
#include "dialogs/ProgramFont.h"
#include "log/EventLog.h"
#include "platform/base/CommandLine.h"
#include "platform/base/MachineRoot.h"
#include "ras/Modems.h"
#include "ras/RasErrors.h"
#include "ras/RasGlobals.h"
#include "ras/TrafficCounters.h"
#include "resources/Skin.h"

#include <QAbstractEventDispatcher>
#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QEvent>
#include <QFontMetrics>
#include <QFrame>
#include <QGuiApplication>
#include <QScreen>
#include <QKeyEvent>
#include <QListWidget>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QTextLayout>
#include <QTimer>
#include <QWheelEvent>

#include <chrono>
#include <cmath>
#include <thread>

namespace sp {
namespace {

// The agreement text's content height and the box that shows it.
constexpr int kUARange = 1155;
constexpr int kUABoxHeight = 174;
// The separate scroll bar: 0 to 1155 with a page of 170 (so its highest
// position is 1155 - 170 + 1), steps of 10 and of 150.
constexpr int kUABarPage = 170;
constexpr int kUABarLargeChange = 150;
constexpr int kUABarSmallChange = 10;

constexpr TColor kSelectionColor = 11888265; // RGB 137, 102, 181
constexpr TColor kRefreshingColor = 9852008; // RGB 104, 84, 150
constexpr TColor kLinkColor = RGBToColor(0, 6, 116);
constexpr TColor kNoteColor = RGBToColor(128, 128, 128);
constexpr TColor clHighlightText = clSystemColor | 14;


void SetTextColor(QWidget* widget, TColor color) {
    QPalette p = widget->palette();
    p.setColor(QPalette::WindowText, ColorToQColor(color));
    widget->setPalette(p);
}

QLabel* MakeLabel(QWidget* parent, const QString& text, int x, int y, bool bold = false) {
    auto* label = new QLabel(text, parent);
    QFont f = ProgramFont(11);
    f.setBold(bold);
    label->setFont(f);
    label->move(x, y);
    label->adjustSize();
    label->resize(label->width(), 13);
    return label;
}

// A grey word-wrapped note; it grows downwards when the font of this machine
// needs more lines than the design's.
QLabel* MakeNote(QWidget* parent, const QString& text, QRect geometry) {
    auto* note = new QLabel(text, parent);
    note->setFont(ProgramFont(11));
    note->setWordWrap(true);
    note->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    SetTextColor(note, kNoteColor);
    geometry.setHeight(std::max(geometry.height(), note->heightForWidth(geometry.width())));
    note->setGeometry(geometry);
    return note;
}

// Where the last line of a note's wrapped text ends, in its parent.
QPoint NoteEnd(const QLabel* note) {
    QTextLayout layout(note->text(), note->font());
    layout.beginLayout();
    qreal y = 0;
    QTextLine last;
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(note->width());
        line.setPosition(QPointF(0, y));
        y += QFontMetrics(note->font()).lineSpacing();
        last = line;
    }
    layout.endLayout();
    if (!last.isValid())
        return note->pos();
    // The note's trailing blank is part of the line's width.
    return note->pos() +
           QPoint(static_cast<int>(std::ceil(last.naturalTextWidth())), static_cast<int>(last.y()));
}

TLinkLabel* MakeLink(QWidget* parent, const QString& text, int x, int y, bool link = true) {
    auto* label = new TLinkLabel(text, parent, link);
    QFont f = ProgramFont(11);
    f.setUnderline(link);
    label->setFont(f);
    if (link)
        SetTextColor(label, kLinkColor);
    label->move(x, y);
    label->adjustSize();
    return label;
}

QLabel* MakePicture(QWidget* parent, const QPixmap& picture, int x, int y, int w, int h) {
    auto* image = new QLabel(parent);
    image->setGeometry(x, y, w, h);
    image->setPixmap(picture);
    // Stretched only when it must be: a stretching label keeps two more
    // copies of its picture.
    image->setScaledContents(picture.size() != QSize(w, h));
    return image;
}

// The five buttons share their look; they differ in size and frame colours.
TGPRSButton* MakeButton(QWidget* parent, const QString& caption, QRect geometry, TColor extColor,
                        TColor intColor, int extWidth, int intWidth) {
    auto* button = new TGPRSButton(parent);
    button->setGeometry(geometry);
    button->SetCaption(caption);
    button->setFont(ProgramFont(12));
    button->SetBorderWidth(1);
    button->SetCurve(4);
    button->SetBgColor(clWhite);
    button->SetBorderColor(7603712);
    button->SetDownColor(16169404);
    button->SetColor(15791348);
    button->SetExtColor(extColor);
    button->SetIntColor(intColor);
    button->SetExtWidth(extWidth);
    button->SetIntWidth(intWidth);
    return button;
}

TTransPanel* MakePage(QWidget* parent, QLabel* background) {
    auto* page = new TTransPanel(parent);
    page->setGeometry(0, 49, 500, 265);
    page->SetImage(background);
    page->SetImageTop(-52);
    page->SetImageLeft(0);
    page->SetBevelOuter(TPanel::TBevel::None);
    return page;
}

void SetCaptionIfChanged(TGPRSButton* button, const QString& caption) {
    // The idle update runs all the time; an unchanged caption must not repaint.
    if (button->Caption() != caption)
        button->SetCaption(caption);
}

void SetEnabledIfChanged(TGPRSButton* button, bool enabled) {
    if (button->Enabled() != enabled)
        button->SetEnabled(enabled);
}

// Owner-drawn modem names: the selection on the skin's violet, the text five
// pixels in at the item's top, clipped to the item.
class TModemItemDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        painter->save();
        const bool selected = option.state & QStyle::State_Selected;
        const QWidget* list = option.widget;
        const QPalette palette = list ? list->palette() : option.palette;
        painter->setClipRect(option.rect);
        painter->fillRect(option.rect,
                          selected ? ColorToQColor(kSelectionColor) : palette.color(QPalette::Base));
        painter->setPen(selected ? ColorToQColor(clHighlightText) : palette.color(QPalette::Text));
        painter->setFont(option.font);
        painter->drawText(option.rect.adjusted(5, 0, 0, 0), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                          index.data(Qt::DisplayRole).toString());
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return {QStyledItemDelegate::sizeHint(option, index).width(), 17};
    }
};

// One modem is chosen, as in a list box: a click on the chosen one, with
// Ctrl or without, keeps it chosen, so its highlight and "Выбрать" agree.
class TModemList : public QListWidget {
public:
    using QListWidget::QListWidget;

protected:
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event) const override {
        const QItemSelectionModel::SelectionFlags flags = QListWidget::selectionCommand(index, event);
        if (flags & (QItemSelectionModel::Deselect | QItemSelectionModel::Toggle))
            return QItemSelectionModel::NoUpdate;
        return flags;
    }
};

QString JoinNames(const std::vector<std::string>& names) {
    QStringList list;
    for (const auto& name : names)
        list << QString::fromStdString(name);
    return list.join(QStringLiteral("\r\n"));
}

} // namespace

TfrmGprsMain::TfrmGprsMain(QWidget* parent)
    : QWidget(parent), FProgramFile(HostPathToWindows(ProgramFile())) {
    setWindowTitle(QString::fromUtf8(kApplicationTitle));
    setFixedSize(500, 360);
    setFont(ProgramFont(11));
    CreateComponents();
    CreateFrame();
    CreateHistory();

    FWindow = std::make_unique<TMessageWindow>(
        [this](UINT msg, WPARAM wParam, LPARAM lParam) { return WndProc(msg, wParam, lParam); });
    SetMainWindowHandle(FWindow->Handle());
    SetConnectionHost(this);
    SetMainConnectionSource([this] { return FConn.load(); });

    // The action list's update cycle: whenever the application is about to
    // wait for input. UpdatePage only writes what differs, so an idle program
    // does not wake itself up.
    if (auto* dispatcher = QAbstractEventDispatcher::instance())
        connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this, &TfrmGprsMain::ActionList1Update);
}

TfrmGprsMain::~TfrmGprsMain() {
    if (auto* dispatcher = QAbstractEventDispatcher::instance())
        disconnect(dispatcher, nullptr, this, nullptr);
    SetMainConnectionSource({});
    SetConnectionHost(nullptr);
    if (MainWindowHandle() == FWindow->Handle())
        SetMainWindowHandle(0);
    // FreeOnTerminate: the thread ends by itself; its sends to this window
    // return 0 once the handle is gone.
    if (FStatThread)
        FStatThread->Terminate();
}

void TfrmGprsMain::CreateComponents() {
    Image1 = new QLabel(this);
    Image1->setGeometry(0, 0, 500, 360);
    Image1->setPixmap(skin::Background());
    Image1->setScaledContents(Image1->pixmap().size() != Image1->size());

    // Stacked in this order; FormCreate brings the first page to the front.
    pnlSettings = MakePage(this, Image1);
    pnlAbout = MakePage(this, Image1);
    pnlAgreement = MakePage(this, Image1);
    pnlMain = MakePage(this, Image1);
    pnlMain->SetBorderLeft(true);
    pnlMain->SetBorderRight(true);
    pnlMain->SetBorderColor(4934217);
    pnlMain->SetBorderWidth(0);

    CreateMainPage();
    CreateAgreementPage();
    CreateAboutPage();
    CreateSettingsPage();
    CreateActions();

    lblAbout = MakeLink(this, QStringLiteral("О программе"), 16, 326);
    lblAgreement = MakeLink(this, QStringLiteral("Пользовательское соглашение"), 0, 326);
    lblAgreement->move(484 - lblAgreement->width(), 326);
    connect(lblAbout, &TLinkLabel::clicked, this, &TfrmGprsMain::lblAboutClick);
    connect(lblAgreement, &TLinkLabel::clicked, this, &TfrmGprsMain::lblAgreementClick);

    hintTimer = new QTimer(this);
    hintTimer->setSingleShot(false);
    connect(hintTimer, &QTimer::timeout, this, &TfrmGprsMain::hintTimerTimer);
}

void TfrmGprsMain::CreateMainPage() {
    QWidget* p = pnlMain;
    imgConnect = MakePicture(p, skin::HeadingPicture(skin::Heading::Connect), 16, 16, 145, 25);

    gpnlStat = new TGraphPanel(p);
    gpnlStat->setGeometry(16, 52, 192, 45);
    gpnlStat->SetColor(clWhite);
    gpnlStat->SetBevelOuter(TPanel::TBevel::Lowered);
    gpnlStat->SetGrapgColor(1482540);
    gpnlStat->SetBottomColor(9687450);
    gpnlStat->SetScaleLength(40);
    gpnlStat->SetRectWidth(60);
    gpnlStat->setMouseTracking(true);
    gpnlStat->installEventFilter(this);

    // A grey frame around the graph, as around the modem list.
    auto* graphFrame = new QFrame(p);
    graphFrame->setGeometry(15, 51, 194, 47);
    graphFrame->setAutoFillBackground(true);
    QPalette grey = graphFrame->palette();
    grey.setColor(QPalette::Window, ColorToQColor(kNoteColor));
    graphFrame->setPalette(grey);
    graphFrame->lower();
    gpnlStat->SetBevelOuter(TPanel::TBevel::None);

    Bevel1 = new QFrame(p);
    Bevel1->setGeometry(16, 102, 192, 1);
    Bevel1->setAutoFillBackground(true);
    Bevel1->setPalette(grey);
    lblConnStatus = MakeLabel(p, QStringLiteral("Соединение с GPRS не установлено"), 16, 103);
    // Wide enough for both states in the font of this machine.
    const QFontMetrics status(lblConnStatus->font());
    lblConnStatus->resize(
        std::max({185, status.horizontalAdvance(QStringLiteral("Соединение с GPRS не установлено")),
                  status.horizontalAdvance(QStringLiteral("Соединение c GPRS установлено"))}) +
            2,
        13);

    btnConnect = MakeButton(p, QStringLiteral("Соединить.Разъединить"), QRect(16, 148, 193, 30), 14866637,
                            clBlack, 2, 0);
    connect(btnConnect, &TGPRSButton::OnClick, this, &TfrmGprsMain::aConnectExecute);

    lblSettingsNote = MakeNote(
        p, QStringLiteral("Для того чтобы выбрать соединение через другое устройство, перейдите в раздел "),
        QRect(16, 203, 190, 36));
    // The link goes on where the note's last line ends (54, 227 in the
    // design's own font).
    const QPoint end = NoteEnd(lblSettingsNote);
    lblSettings = MakeLink(p, QStringLiteral("Настройки"), end.x(), end.y());
    connect(lblSettings, &TLinkLabel::clicked, this, &TfrmGprsMain::lblSettingsClick);

    lblSpeedGroup = MakeLabel(p, QStringLiteral("Скорость передачи"), 268, 41, true);
    lblMaxSpeedCaption = MakeLabel(p, QStringLiteral("Максимум:"), 269, 57);
    lblMaxSpeed = MakeLabel(p, QStringLiteral("0"), 328, 57);

    lblTrafficGroup = MakeLabel(p, QStringLiteral("Трафик"), 268, 80, true);
    lblReceivedCaption = MakeLabel(p, QStringLiteral("Принято:"), 269, 95);
    lblTransmittedCaption = MakeLabel(p, QStringLiteral("Передано:"), 269, 108);
    lblTotalCaption = MakeLabel(p, QStringLiteral("Всего за сеанс:"), 269, 121);
    int top = 95;
    for (QLabel** value : {&lblReceived, &lblTransmitted, &lblTotal}) {
        *value = MakeLabel(p, QStringLiteral("0"), 350, top);
        (*value)->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
        top += 13;
    }

    lblTimeGroup = MakeLabel(p, QStringLiteral("Время соединения"), 268, 148, true);
    lblTime = MakeLabel(p, QStringLiteral("0 часов 00 минут"), 268, 163);
}

void TfrmGprsMain::CreateAgreementPage() {
    QWidget* p = pnlAgreement;
    imgUA = MakePicture(p, skin::HeadingPicture(skin::Heading::Agreement), 16, 16, 361, 25);

    sbUA = new QScrollArea(p);
    sbUA->setGeometry(16, 47, 470, kUABoxHeight);
    sbUA->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    sbUA->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    sbUA->setFrameShape(QFrame::Box);
    sbUA->setLineWidth(1);
    sbUA->setFocusPolicy(Qt::StrongFocus);
    sbUA->setWidgetResizable(false);
    QPalette white = sbUA->palette();
    white.setColor(QPalette::Window, Qt::white);
    white.setColor(QPalette::Base, Qt::white);
    white.setColor(QPalette::WindowText, ColorToQColor(kNoteColor));
    sbUA->setPalette(white);
    sbUA->setBackgroundRole(QPalette::Base);

    auto* content = new QWidget;
    content->setFixedSize(454, kUARange);
    content->setAutoFillBackground(true);
    content->setPalette(white);
    lblUAText = new QLabel(content);
    lblUAText->setTextFormat(Qt::RichText);
    lblUAText->setText(skin::AgreementText());
    lblUAText->setFont(ProgramFont(11));
    lblUAText->setWordWrap(true);
    lblUAText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblUAText->setTextInteractionFlags(Qt::NoTextInteraction);
    lblUAText->setGeometry(0, 0, 454, kUARange);
    QPalette text = white;
    text.setColor(QPalette::WindowText, Qt::black);
    lblUAText->setPalette(text);
    sbUA->setWidget(content);
    sbUA->installEventFilter(this);
    sbUA->viewport()->installEventFilter(this);

    scrollUA = new QScrollBar(Qt::Vertical, p);
    scrollUA->setGeometry(469, 49, 16, 171);
    scrollUA->setRange(0, kUARange - kUABarPage + 1);
    scrollUA->setPageStep(kUABarPage);
    scrollUA->setSingleStep(kUABarSmallChange);
    // The bar's page shows 170 of the text while a click beside the thumb
    // moves by 150.
    connect(scrollUA, &QScrollBar::actionTriggered, this, [this](int action) {
        if (action == QAbstractSlider::SliderPageStepAdd)
            scrollUA->setSliderPosition(scrollUA->value() + kUABarLargeChange);
        else if (action == QAbstractSlider::SliderPageStepSub)
            scrollUA->setSliderPosition(scrollUA->value() - kUABarLargeChange);
    });
    connect(scrollUA, &QScrollBar::valueChanged, this, &TfrmGprsMain::scrollUAChange);

    btnDisagree =
        MakeButton(p, QStringLiteral("Не согласен"), QRect(16, 226, 85, 25), clBlack, 7603712, 0, 0);
    btnAgree = MakeButton(p, QStringLiteral("Согласен"), QRect(401, 226, 85, 25), clBlack, clBlack, 0, 0);
    connect(btnDisagree, &TGPRSButton::OnClick, this, &TfrmGprsMain::btnDisagreeClick);
    connect(btnAgree, &TGPRSButton::OnClick, this, &TfrmGprsMain::btnAgreeClick);

    lblUAReturn = MakeLink(p, QStringLiteral("<  Вернуться в программу"), 16, 231);
    lblUAReturn->resize(std::max(132, lblUAReturn->width()), 13);
    connect(lblUAReturn, &TLinkLabel::clicked, this, &TfrmGprsMain::btnAgreeClick);

    p->installEventFilter(this);
}

void TfrmGprsMain::CreateAboutPage() {
    QWidget* p = pnlAbout;
    imgAbout = MakePicture(p, skin::HeadingPicture(skin::Heading::About), 16, 16, 145, 25);

    lblAboutText =
        new QLabel(QStringLiteral("Skyportal\n\n\nПрограмма настройки компьютера для получения доступа "
                                  "к сети Интернет через мобильный телефон"),
                   p);
    QFont bold = ProgramFont(11);
    bold.setBold(true);
    lblAboutText->setFont(bold);
    lblAboutText->setWordWrap(true);
    lblAboutText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    lblAboutText->setGeometry(16, 56, 300, 80);
    lblVersion = MakeLabel(p, QStringLiteral("Версия: "), 16, 72);

    lblWWW = MakeLink(p, QString::fromUtf8(kOperatorHost), 16, 140);
    connect(lblWWW, &TLinkLabel::doubleClicked, this, &TfrmGprsMain::lblWWWClick);
    lblMailNote = MakeLabel(p, QStringLiteral("Вопросы и предложения по работе программы присылайте по адресу:"),
                            16, 160);
    lblMail = MakeLink(p, QString::fromUtf8(kSupportMail), 16, 174);
    connect(lblMail, &TLinkLabel::doubleClicked, this, &TfrmGprsMain::lblMailClick);
    lblOwner = new QLabel(QStringLiteral("© ОАО «Зентора», 2004. Все права защищены.\n"
                                         "Телефон абонентской службы 8 800 555-06-11"),
                          p);
    lblOwner->setFont(ProgramFont(11));
    lblOwner->move(16, 196);
    lblOwner->adjustSize();

    Label12 = MakeLink(p, QStringLiteral("<  Вернуться в программу"), 16, 231);
    connect(Label12, &TLinkLabel::clicked, this, &TfrmGprsMain::Label12Click);
}

void TfrmGprsMain::CreateSettingsPage() {
    QWidget* p = pnlSettings;
    imgStart = MakePicture(p, skin::HeadingPicture(skin::Heading::Start), 16, 16, 113, 25);
    imgService = MakePicture(p, skin::HeadingPicture(skin::Heading::Service), 16, 16, 113, 25);

    lblChooseModem = MakeLabel(p, QStringLiteral("Выберите модем"), 16, 60, true);
    lblChooseModem->resize(lblChooseModem->width(), 14);
    Label40 = MakeLink(p, QStringLiteral("Обновить"), 178, 61);
    Label40->resize(Label40->width(), 14);
    Label41 = MakeLink(p, QStringLiteral("Обновить"), 178, 61);
    Label41->hide();
    connect(Label40, &TLinkLabel::clicked, this, &TfrmGprsMain::Label40Click);
    connect(Label41, &TLinkLabel::clicked, this, &TfrmGprsMain::Label40Click);

    pnlModemFrame = new QFrame(p);
    pnlModemFrame->setGeometry(16, 77, 212, 134);
    pnlModemFrame->setAutoFillBackground(true);
    QPalette grey = pnlModemFrame->palette();
    grey.setColor(QPalette::Window, ColorToQColor(kNoteColor));
    pnlModemFrame->setPalette(grey);

    lbConnections = new TModemList(p);
    lbConnections->setGeometry(17, 78, 210, 132);
    lbConnections->setFrameShape(QFrame::NoFrame);
    lbConnections->setFont(ProgramFont(11));
    lbConnections->setUniformItemSizes(true);
    lbConnections->setSelectionMode(QAbstractItemView::SingleSelection);
    lbConnections->setItemDelegate(new TModemItemDelegate(lbConnections));
    lbConnections->setMouseTracking(true);
    lbConnections->viewport()->setMouseTracking(true);
    // Double clicks anywhere in the list, on a name or below the last one.
    lbConnections->viewport()->installEventFilter(this);

    lblModemNote =
        MakeNote(p,
                 QStringLiteral("Убедитесь, что Ваш мобильный телефон или другое устройство подключено "
                                "к компьютеру и программное обеспчение для него установлено и настроено"),
                 QRect(272, 8, 200, 48));

    const struct {
        QCheckBox** box;
        TLinkLabel** label;
        const char16_t* caption;
    } boxes[] = {
        {&chbDesktop, &lblDesktop, u"Создать ярлык на Рабочем столе"},
        {&chbAutorun, &lblAutorun, u"Добавить программу в меню Автозапуск"},
        // A word joiner keeps the folder on one line.
        {&chbCopy, &lblCopy, u"Скопировать программу в папку C:\u2060\\Zentora"},
    };
    int top = 79;
    for (const auto& b : boxes) {
        *b.box = new QCheckBox(p);
        (*b.box)->setGeometry(290, top, 16, 16);
        (*b.box)->setChecked(true);
        *b.label = MakeLink(p, QString::fromUtf16(b.caption), 310, top + 2, false);
        (*b.label)->setWordWrap(true);
        (*b.label)->setGeometry(310, top + 2, 180, 30);
        (*b.label)->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        QCheckBox* box = *b.box;
        connect(*b.label, &TLinkLabel::clicked, box, [box] { box->toggle(); });
        top += 42;
    }

    btnSvcOK =
        MakeButton(p, QStringLiteral("Выбрать"), QRect(16, 216, 75, 25), clInactiveCaption, 16169404, 0, 2);
    btnNext = MakeButton(p, QStringLiteral("Далее"), QRect(313, 216, 75, 25), clBlack, clBlack, 0, 0);
    connect(btnSvcOK, &TGPRSButton::OnClick, this, &TfrmGprsMain::aSvcOKExecute);
    connect(btnNext, &TGPRSButton::OnClick, this, &TfrmGprsMain::aNextExecute);
}

void TfrmGprsMain::CreateActions() {
    const auto make = [this](const QString& caption, void (TfrmGprsMain::*handler)()) {
        auto* action = new QAction(caption, this);
        addAction(action);
        if (handler)
            connect(action, &QAction::triggered, this, handler);
        return action;
    };
    aNext = make(QStringLiteral("Далее"), &TfrmGprsMain::aNextExecute);
    aExit = make(QStringLiteral("Выйти"), &TfrmGprsMain::btnDisagreeClick);
    aConnect = make(QStringLiteral("Подключиться"), &TfrmGprsMain::aConnectExecute);
    aRestore = make(QStringLiteral("Открыть программу"), nullptr);
    aSvcOK = make(QStringLiteral("Выбрать"), &TfrmGprsMain::aSvcOKExecute);
}

void TfrmGprsMain::FormCreate() {
    FAPNUpdated = false;
    FConn = 0;
    lblTime->setText(QStringLiteral("0 часов 00 минут"));
    lblReceived->setText(QStringLiteral("0"));
    lblTransmitted->setText(QStringLiteral("0"));
    lblTotal->setText(QStringLiteral("0"));
    FFirstStart = !LoadSettings();
    InitVersion();
    lblVersion->setText(QStringLiteral("Версия: ") + QString::fromStdString(FVersion));
    lblVersion->adjustSize();
    FConfigErrorShown = false;
    SetTrayState(TTrayMode::On, QStringLiteral("Skyportal - Отключено"));

    switch (FStage) {
    case 0:
        SetPage(0);
        BringToFront(pnlSettings);
        break;
    case 2:
        SetPage(2);
        BringToFront(pnlMain);
        gpnlStat->ClearGraph();
        break;
    default:
        SetPage(3);
        BringToFront(pnlAgreement);
        btnAgree->SetEnabled(false);
        btnDisagree->SetEnabled(true);
        break;
    }

    FillModemList();
    // The minimise, restore and activate handlers; exceptions that reach the
    // event loop come to AppException through the application object.
    FAppHandlers = true;
    if (auto* app = qobject_cast<TApplication*>(QCoreApplication::instance()))
        app->SetExceptionHandler([this](const std::string& what) { AppException(what); });
    sbUA->verticalScrollBar()->setValue(0);
    scrollUA->setValue(0);
    WriteLog("WINVER", static_cast<int32_t>(WinVersion), "version of Windows");
    if (const QScreen* screen = QGuiApplication::primaryScreen())
        move(screen->availableGeometry().center() - rect().center());
    if (ParamStr(1) == "/auto" && TrayAvailable()) {
        // Shown and at once in the tray: the window is made but never put on
        // the screen. Mapped only to be withdrawn in the same moment, it left
        // the window manager busy with both when a restore came right after.
        (void)winId();
        MinimizeApplication();
        return;
    }
    show();
    if (ParamStr(1) == "/auto")
        MinimizeApplication();
    else if (isMinimized())
        RestoreApplication();
}

void TfrmGprsMain::AppException(const std::string& what) {
    WriteLog("AppException", 888, what);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

bool TfrmGprsMain::FormCloseQuery() {
    if (FConn == 0 || !ConnIsOpen(FConn))
        return true;
    // The question and the hang-up count as a disconnect under way.
    const TBusyScope busy(*this, true);
    const int32_t answer = ShowMsg(QStringLiteral("Соединение с Интернетом открыто. Закрыть его?"),
                                   MsgKind::Confirm, {MsgButton::Yes, MsgButton::No, MsgButton::Cancel});
    if (answer == mrCancel)
        return false;
    if (answer == mrYes) {
        // The window goes first; the hang-up may take a moment.
        hide();
        (void)CloseConnection(FConn);
    }
    return true;
}

void TfrmGprsMain::FormClose() {
    FClosed = true;
    SetTrayState(TTrayMode::Off, QString());
    if (FStage != 3)
        SaveSettings();
    if (FStatThread)
        FStatThread->Terminate();
    hide();
    emit Closed();
}

void TfrmGprsMain::closeEvent(QCloseEvent* event) {
    if (FClosed) {
        event->accept();
        return;
    }
    // The tray's "Выйти", the close area or the system's request in the
    // middle of a dial, a hang-up or a question: the window closes once that
    // is over, not from inside it.
    // (Asked for again while the close question is open, it is that same
    // request: close() does not come back here while it runs.)
    if (FBusy > 0) {
        FCloseRequested = true;
        event->ignore();
        return;
    }
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    FormClose();
    event->accept();
}

// ---------------------------------------------------------------- pages

void TfrmGprsMain::SetPage(uint8_t page) {
    FPage = page;
    // Not while a dial runs: its connection is not for taking over.
    if (page == 2 && FConn == 0 && FConnectionOps == 0) {
        const HRASCONN h = CheckAlreadyConnected(FModem, FConnection, FAPNs, &MessageBoxQuestion());
        if (h != 0) {
            FConn = h;
            (void)GetStatistics(FBaseRecv, FBaseXmit, h);
            StartStatistics(true);
        }
    }
    UpdatePage();
}

bool TfrmGprsMain::RunsFromCopyFolder() const {
    const QString file = QString::fromStdString(FProgramFile);
    const qsizetype slash = file.lastIndexOf(QLatin1Char('\\'));
    const QString folder = slash < 0 ? QString() : file.left(slash + 1);
    return folder.compare(QString::fromUtf8(kCopyFolder), Qt::CaseInsensitive) == 0;
}

void TfrmGprsMain::UpdatePage() {
    if (FPage == 0 || FPage == 4) {
        const QString caption =
            lbConnections->currentRow() < 0 ? QStringLiteral("Назад") : QStringLiteral("Выбрать");
        aSvcOK->setText(caption);
        SetCaptionIfChanged(btnSvcOK, caption);
        if (RunsFromCopyFolder()) {
            chbCopy->setVisible(false);
            chbCopy->setChecked(false);
            lblCopy->setVisible(false);
        } else {
            chbCopy->setVisible(FStage == 0);
            lblCopy->setVisible(FStage == 0);
        }
        for (QWidget* w : std::initializer_list<QWidget*>{imgStart, btnNext, lblAutorun, chbAutorun,
                                                          lblDesktop, chbDesktop})
            w->setVisible(FStage == 0);
        imgService->setVisible(FStage != 0);
        btnSvcOK->setVisible(FStage != 0);
    }
    if (FPage == 2)
        SetCaptionIfChanged(btnConnect,
                            FConn != 0 ? QStringLiteral("Отключиться") : QStringLiteral("Подключиться"));
    if (FPage == 3) {
        btnAgree->setVisible(FStage == 3);
        btnDisagree->setVisible(FStage == 3);
        lblUAReturn->setVisible(FStage != 3);
    }
    lblAbout->setEnabled(FPage == 2 || FPage == 4);
    lblAgreement->setEnabled(FPage != 3);
    aConnect->setEnabled(FStage == 2 && FBusy == 0);
    aConnect->setText(FConn != 0 ? QStringLiteral("Отключиться") : QStringLiteral("Подключиться"));
}

void TfrmGprsMain::ActionList1Update() {
    // Not while a handler is halfway through changing the page.
    if (FUpdatingPage)
        return;
    FUpdatingPage = true;
    UpdatePage();
    FUpdatingPage = false;
}

QWidget* TfrmGprsMain::TopPage() const {
    QWidget* top = nullptr;
    for (QObject* child : children()) {
        if (child == pnlMain || child == pnlAgreement || child == pnlAbout || child == pnlSettings)
            top = static_cast<QWidget*>(child);
    }
    return top;
}

void TfrmGprsMain::BringToFront(QWidget* page) {
    page->raise();
}

void TfrmGprsMain::SendToBack(QWidget* page) {
    // Below the other pages, but still above the background they show.
    page->lower();
    Image1->lower();
}

// ---------------------------------------------------------------- navigation

void TfrmGprsMain::btnAgreeClick() {
    if (FStage == 3) {
        SetPage(0);
        FStage = 0;
        BringToFront(pnlSettings);
    } else {
        SendToBack(pnlAgreement);
        SetPage(FAgreementReturnPage);
    }
    UpdatePage();
}

void TfrmGprsMain::btnDisagreeClick() {
    close();
}

std::string TfrmGprsMain::SelectedModem() const {
    const QListWidgetItem* item = lbConnections->currentItem();
    if (lbConnections->currentRow() < 0 || item == nullptr)
        return "Unknown";
    return item->text().toStdString();
}

void TfrmGprsMain::aNextExecute() {
    // Its error boxes are questions of the window.
    const TBusyScope busy(*this, false);
    if (!RunInstallActions())
        return;
    FModem = SelectedModem();
    SetPage(2);
    BringToFront(pnlMain);
    gpnlStat->ClearGraph();
    FStage = 2;
}

void TfrmGprsMain::aSvcOKExecute() {
    SendToBack(pnlSettings);
    FModem = SelectedModem();
}

void TfrmGprsMain::lblSettingsClick() {
    if (FConn != 0 || FBusy > 0)
        return;
    OpenSettingsPage();
}

void TfrmGprsMain::OpenSettingsPage() {
    SetPage(4);
    if (RefreshModemList())
        UpdatePage();
    BringToFront(pnlSettings);
}

void TfrmGprsMain::lblAboutClick() {
    FAboutReturnPage = FPage;
    SetPage(1);
    BringToFront(pnlAbout);
}

void TfrmGprsMain::lblAgreementClick() {
    FAgreementReturnPage = FPage;
    SetPage(3);
    BringToFront(pnlAgreement);
    sbUA->verticalScrollBar()->setValue(0);
    scrollUA->setValue(0);
}

void TfrmGprsMain::Label12Click() {
    SendToBack(pnlAbout);
    SetPage(FAboutReturnPage);
}

void TfrmGprsMain::Label40Click() {
    auto* link = qobject_cast<QLabel*>(sender());
    if (link == nullptr)
        link = Label40;
    const QPalette before = link->palette();
    SetTextColor(link, kRefreshingColor);
    link->repaint();
    struct Restore {
        QLabel* link;
        QPalette palette;
        ~Restore() { link->setPalette(palette); }
    } restore{link, before};
    if (RefreshModemList())
        UpdatePage();
}

void TfrmGprsMain::lbConnectionsDblClick() {
    if (FPage == 4)
        aSvcOK->trigger();
}

// ---------------------------------------------------------------- modem list

void TfrmGprsMain::FillModemList() {
    std::vector<std::string> names;
    if (EnumDevices(names) != 0)
        return;
    lbConnections->clear();
    for (const auto& name : names)
        lbConnections->addItem(QString::fromStdString(name));
    if (lbConnections->count() == 0)
        return;
    const auto found = lbConnections->findItems(QString::fromStdString(FModem), Qt::MatchExactly);
    lbConnections->setCurrentRow(found.isEmpty() || FModem.empty() ? 0 : lbConnections->row(found.front()));
}

bool TfrmGprsMain::RefreshModemList() {
    std::vector<std::string> names;
    if (EnumDevices(names) != 0)
        names.clear();
    std::vector<std::string> current;
    for (int i = 0; i < lbConnections->count(); ++i)
        current.push_back(lbConnections->item(i)->text().toStdString());
    if (JoinNames(names) == JoinNames(current))
        return false;
    lbConnections->clear();
    for (const auto& name : names)
        lbConnections->addItem(QString::fromStdString(name));
    if (lbConnections->count() > 0) {
        const auto found = lbConnections->findItems(QString::fromStdString(FModem), Qt::MatchExactly);
        lbConnections->setCurrentRow(!FModem.empty() && !found.isEmpty() ? lbConnections->row(found.front())
                                                                         : 0);
    }
    return true;
}

// ---------------------------------------------------------------- agreement

void TfrmGprsMain::CheckAgreementScrolled() {
    if (sbUA->verticalScrollBar()->value() > kUARange - kUABoxHeight - 10)
        SetEnabledIfChanged(btnAgree, true);
}

void TfrmGprsMain::scrollUAChange() {
    sbUA->verticalScrollBar()->setValue(scrollUA->value());
    sbUA->setFocus();
    CheckAgreementScrolled();
}

void TfrmGprsMain::sbUAMouseUp() {
    sbUA->setFocus();
    CheckAgreementScrolled();
}

void TfrmGprsMain::sbUAMouseWheel(int wheelDelta) {
    const int old = sbUA->verticalScrollBar()->value();
    const int step = static_cast<int>(std::ceil(wheelDelta / 10.0));
    const int position = std::clamp(old - step, 0, kUARange - kUABoxHeight);
    sbUA->verticalScrollBar()->setValue(position);
    scrollUA->setValue(position);
    CheckAgreementScrolled();
}

bool TfrmGprsMain::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (watched == Image1 && Image1 != nullptr)
        return Image1Event(event);
    // Events arrive while the components are still being made.
    if (sbUA != nullptr && (watched == sbUA->viewport() || watched == sbUA || watched == pnlAgreement)) {
        if (type == QEvent::Wheel && watched != pnlAgreement) {
            sbUAMouseWheel(static_cast<QWheelEvent*>(event)->angleDelta().y());
            return true;
        }
        if (type == QEvent::MouseButtonRelease) {
            sbUAMouseUp();
            return false;
        }
        // The box scrolls only through its wheel and its own bar.
        if (type == QEvent::KeyPress && watched == sbUA) {
            switch (static_cast<QKeyEvent*>(event)->key()) {
            case Qt::Key_Up:
            case Qt::Key_Down:
            case Qt::Key_PageUp:
            case Qt::Key_PageDown:
            case Qt::Key_Home:
            case Qt::Key_End:
            case Qt::Key_Space:
                return true;
            default:
                break;
            }
        }
        return false;
    }
    if (lbConnections != nullptr && watched == lbConnections->viewport() && type == QEvent::MouseButtonDblClick) {
        if (static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton)
            lbConnectionsDblClick();
        return false;
    }
    if (lbConnections != nullptr && watched == lbConnections->viewport() && type == QEvent::MouseMove) {
        const auto* move = static_cast<QMouseEvent*>(event);
        if (const QListWidgetItem* item = lbConnections->itemAt(move->position().toPoint()))
            lbConnections->setToolTip(item->text());
        return false;
    }
    if (watched == gpnlStat && gpnlStat != nullptr) {
        if (type == QEvent::MouseMove) {
            const auto* move = static_cast<QMouseEvent*>(event);
            gpnlStatMouseMove(move->position().toPoint().x(), move->position().toPoint().y());
        } else if (type == QEvent::MouseButtonPress) {
            const auto* press = static_cast<QMouseEvent*>(event);
            gpnlStatMouseDown(press->button(), press->buttons(), press->modifiers(),
                              press->position().toPoint().x(), press->position().toPoint().y());
        } else if (type == QEvent::ToolTip && !FGraphShowHint) {
            return true;
        }
        return false;
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace sp
