#include "ras/RasErrors.h"

#include <atomic>
#include <exception>
#include <optional>

#include "log/EventLog.h"
#include "platform/base/Cp1251.h"
#include "ras/RasBinding.h"
#include "ras/RasGlobals.h"

namespace sp {

namespace {

std::atomic<HWND> gMainWindow{0};

constexpr int32_t kConfigError = 711;
constexpr std::string_view kConfigErrorText =
    "Во время работы программы возникла ошибка конфигурации системы. Восстановление требует перезагрузки.";

// The program's own words for what the modem said before the dial: the
// subscriber can act on these without the support desk.
std::optional<std::string_view> ModemErrorText(int32_t code)
{
    switch (code) {
    case 960: return "SIM-карта запрашивает PIN-код. Введите PIN-код в телефоне или модеме и подключитесь снова.";
    case 961: return "SIM-карта заблокирована и запрашивает PUK-код. Разблокируйте её PUK-кодом оператора.";
    case 962: return "В модеме нет SIM-карты, или модем не может её прочитать. Вставьте SIM-карту и подключитесь снова.";
    case 963: return "Сеть оператора отказала модему в регистрации. Обратитесь к оператору.";
    case 964: return "Модем не нашёл сеть оператора: нет сигнала или нет покрытия в этом месте.";
    case 965: return "Модем зарегистрирован в сети, но передача данных (GPRS) недоступна. Попробуйте позже или обратитесь к оператору.";
    case 966: return "Модем занят соединением: баланс можно узнать после отключения.";
    case 967: return "Ответ сети на USSD-запрос не удалось прочитать.";
    case 968: return "Сеть не ответила на USSD-запрос.";
    case 969: return "SIM-карта заблокирована для этой сети или запрашивает другой код.";
    default: return std::nullopt;
    }
}

template <class Binding>
DWORD ErrorString(UINT code, char* buf, DWORD size)
{
    return Binding::RasGetErrorStringA(code, buf, size);
}

} // namespace

void SetMainWindowHandle(HWND wnd)
{
    gMainWindow.store(wnd);
}

HWND MainWindowHandle()
{
    return gMainWindow.load();
}

std::optional<std::string_view> ConnStateText(uint32_t state)
{
    switch (state) {
    case RASCS_OpenPort: return "Открытие порта...";
    case RASCS_PortOpened: return "Порт открыт...";
    case RASCS_ConnectDevice: return "Соединение с модемом...";
    case RASCS_DeviceConnected: return "Соединение с модемом установлено...";
    case RASCS_AllDevicesConnected: return "Все устройства соединены...";
    case RASCS_Authenticate: return "Проверка имени и пароля...";
    case RASCS_AuthNotify: return "Проверка имени и пароля выполнена...";
    case RASCS_AuthRetry: return "Повтор проверка имени и пароля...";
    case RASCS_AuthCallback: return "Удаленный сервер запросил номер отклика...";
    case RASCS_AuthChangePassword: return "Изменение пароля...";
    case RASCS_AuthProject: return "Регистрация компьютера...";
    case RASCS_AuthLinkSpeed: return "Вычисление скорости связи...";
    case RASCS_AuthAck: return "Имя пользователя и пароль подтверждены...";
    case RASCS_ReAuthenticate: return "Реаутентификация...";
    case RASCS_Authenticated: return "Проверка имени и пароля выполенена...";
    case RASCS_PrepareForCallback: return "Подготовка отклика...";
    case RASCS_WaitForModemReset: return "Ожидание инитиализации модема...";
    case RASCS_WaitForCallback: return "Ожидание отклика...";
    case RASCS_Projected: return "Регистрация компьютера выполнена...";
    case RASCS_StartAuthentication: return "Проверка имени и пароля...";
    case RASCS_CallbackComplete: return "Отклик получен...";
    case RASCS_LogonNetwork: return "Вход в сеть...";
    case RASCS_Interactive: return "Пауза...";
    case RASCS_RetryAuthentication: return "Повтор проверки имени пользователя и пароля...";
    case RASCS_CallbackSetByCaller: return "Отклик установлен звонящим...";
    case RASCS_PasswordExpired: return "Пароль не действителен...";
    case RASCS_InvokeEapUI: return "Пауза для идентификации...";
    case RASCS_WaitForNetwork: return "Поиск сети оператора...";
    default: return std::nullopt;
    }
}

std::string GetRasErrorDescr(int32_t code)
{
    std::string result;
    try {
        if (code == kConfigError) {
            SendMessage(MainWindowHandle(), WM_CONFIG_ERROR, 0, 0);
            return std::string(kConfigErrorText);
        }
        if (const auto own = ModemErrorText(code))
            return std::string(*own);
        char buf[512] = {};
        DWORD r = 0;
        switch (SelectRasVariant(WinVersion)) {
        case RasVariant::Ras98: r = ErrorString<Ras98>(static_cast<UINT>(code), buf, sizeof buf); break;
        case RasVariant::RasME: r = ErrorString<RasME>(static_cast<UINT>(code), buf, sizeof buf); break;
        default: r = ErrorString<Ras2k>(static_cast<UINT>(code), buf, sizeof buf); break;
        }
        if (r == 0) {
            buf[sizeof buf - 1] = '\0';
            result = Cp1251ToUtf8(buf);
        }
    } catch (const std::exception& e) {
        WriteLog("GetRasErrorDescr", 888, e.what());
    } catch (...) {
        WriteLog("GetRasErrorDescr", 888, "Unknown exception");
    }
    return result;
}

void LogRasError(std::string_view operation, int32_t code)
{
    if (code == 0)
        return;
    try {
        std::string text = GetRasErrorDescr(code);
        if (text.empty())
            text = "Unrecognized";
        WriteLog(std::string("RAS-").append(operation), code, text);
    } catch (const std::exception& e) {
        WriteLog("LogRasError", 888, e.what());
    } catch (...) {
        WriteLog("LogRasError", 888, "Unknown exception");
    }
}

} // namespace sp
