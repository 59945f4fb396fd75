#pragma once

// The remote access interface as the program sees it: the published records
// of 32-bit Windows (ANSI variants), the constants and the functions of the
// client library. Shared by the program and the service, so both sides agree
// on every byte. Records never hold pointers; handles and sizes are 32-bit.
// Each record's first field is its size; the layouts of older Windows
// versions are prefixes of the newer ones (up to trailing padding).

#include <cstddef>
#include <cstdint>

typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int32_t BOOL;
typedef uint8_t BYTE;
typedef char CHAR;
typedef DWORD* LPDWORD;
typedef BOOL* LPBOOL;
typedef BYTE* LPBYTE;
typedef void* LPVOID;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;

// A connection handle as the service hands it out; 0 is never a connection.
typedef uint32_t HRASCONN;
typedef HRASCONN* LPHRASCONN;

// ---------------------------------------------------------------- lengths
inline constexpr DWORD RAS_MaxEntryName = 256;
inline constexpr DWORD RAS_MaxDeviceType = 16;
inline constexpr DWORD RAS_MaxDeviceName = 128;
inline constexpr DWORD RAS_MaxPhoneNumber = 128;
inline constexpr DWORD RAS_MaxCallbackNumber = RAS_MaxPhoneNumber;
inline constexpr DWORD RAS_MaxAreaCode = 10;
inline constexpr DWORD RAS_MaxPadType = 32;
inline constexpr DWORD RAS_MaxX25Address = 200;
inline constexpr DWORD RAS_MaxFacilities = 200;
inline constexpr DWORD RAS_MaxUserData = 200;
inline constexpr DWORD RAS_MaxDnsSuffix = 256;
inline constexpr DWORD RAS_MaxPath = 260;  // MAX_PATH
inline constexpr DWORD RAS_UserNameLen = 256; // UNLEN
inline constexpr DWORD RAS_PasswordLen = 256; // PWLEN
inline constexpr DWORD RAS_DomainLen = 15;    // DNLEN

// ---------------------------------------------------------------- connection states
enum tagRASCONNSTATE : uint32_t {
    RASCS_PAUSED = 0x1000,
    RASCS_DONE = 0x2000,

    RASCS_OpenPort = 0,
    RASCS_PortOpened = 1,
    RASCS_ConnectDevice = 2,
    RASCS_DeviceConnected = 3,
    RASCS_AllDevicesConnected = 4,
    RASCS_Authenticate = 5,
    RASCS_AuthNotify = 6,
    RASCS_AuthRetry = 7,
    RASCS_AuthCallback = 8,
    RASCS_AuthChangePassword = 9,
    RASCS_AuthProject = 10,
    RASCS_AuthLinkSpeed = 11,
    RASCS_AuthAck = 12,
    RASCS_ReAuthenticate = 13,
    RASCS_Authenticated = 14,
    RASCS_PrepareForCallback = 15,
    RASCS_WaitForModemReset = 16,
    RASCS_WaitForCallback = 17,
    RASCS_Projected = 18,
    RASCS_StartAuthentication = 19,
    RASCS_CallbackComplete = 20,
    RASCS_LogonNetwork = 21,
    RASCS_SubEntryConnected = 22,
    RASCS_SubEntryDisconnected = 23,

    RASCS_Interactive = RASCS_PAUSED,
    RASCS_RetryAuthentication = RASCS_PAUSED + 1,
    RASCS_CallbackSetByCaller = RASCS_PAUSED + 2,
    RASCS_PasswordExpired = RASCS_PAUSED + 3,
    RASCS_InvokeEapUI = RASCS_PAUSED + 4,

    RASCS_Connected = RASCS_DONE,
    RASCS_Disconnected = RASCS_DONE + 1,

    // The service's own, between the port opened and the modem dialled: the
    // modem is not registered on a network yet and the dial waits for it.
    RASCS_WaitForNetwork = 0x0100,
};
typedef tagRASCONNSTATE RASCONNSTATE;

// The window message number passed to a type-0 notifier.
inline constexpr UINT WM_RASDIALEVENT = 0xCCCD;

// Notifier type 0 of RasDialA: called on a thread of the library for every
// state report; dwError != 0 reports a failure at that state.
typedef void (*RASDIALFUNC)(UINT unMsg, RASCONNSTATE rasconnstate, DWORD dwError);
// Notifier type 1: the same with the connection handle and an extended error.
typedef void (*RASDIALFUNC1)(HRASCONN hrasconn, UINT unMsg, RASCONNSTATE rasconnstate, DWORD dwError,
                             DWORD dwExtendedError);

// ---------------------------------------------------------------- entry options
inline constexpr DWORD RASEO_UseCountryAndAreaCodes = 0x00000001;
inline constexpr DWORD RASEO_SpecificIpAddr = 0x00000002;
inline constexpr DWORD RASEO_SpecificNameServers = 0x00000004;
inline constexpr DWORD RASEO_IpHeaderCompression = 0x00000008;
inline constexpr DWORD RASEO_RemoteDefaultGateway = 0x00000010;
inline constexpr DWORD RASEO_DisableLcpExtensions = 0x00000020;
inline constexpr DWORD RASEO_TerminalBeforeDial = 0x00000040;
inline constexpr DWORD RASEO_TerminalAfterDial = 0x00000080;
inline constexpr DWORD RASEO_ModemLights = 0x00000100;
inline constexpr DWORD RASEO_SwCompression = 0x00000200;
inline constexpr DWORD RASEO_RequireEncryptedPw = 0x00000400;
inline constexpr DWORD RASEO_RequireMsEncryptedPw = 0x00000800;
inline constexpr DWORD RASEO_RequireDataEncryption = 0x00001000;
inline constexpr DWORD RASEO_NetworkLogon = 0x00002000;
inline constexpr DWORD RASEO_UseLogonCredentials = 0x00004000;
inline constexpr DWORD RASEO_PromoteAlternates = 0x00008000;
inline constexpr DWORD RASEO_SecureLocalFiles = 0x00010000;
inline constexpr DWORD RASEO_RequireEAP = 0x00020000;
inline constexpr DWORD RASEO_RequirePAP = 0x00040000;
inline constexpr DWORD RASEO_RequireSPAP = 0x00080000;
inline constexpr DWORD RASEO_Custom = 0x00100000;
inline constexpr DWORD RASEO_PreviewPhoneNumber = 0x00200000;
inline constexpr DWORD RASEO_SharedPhoneNumbers = 0x00800000;
inline constexpr DWORD RASEO_PreviewUserPw = 0x01000000;
inline constexpr DWORD RASEO_PreviewDomain = 0x02000000;
inline constexpr DWORD RASEO_ShowDialingProgress = 0x04000000;
inline constexpr DWORD RASEO_RequireCHAP = 0x08000000;
inline constexpr DWORD RASEO_RequireMsCHAP = 0x10000000;
inline constexpr DWORD RASEO_RequireMsCHAP2 = 0x20000000;
inline constexpr DWORD RASEO_RequireW95MSCHAP = 0x40000000;
inline constexpr DWORD RASEO_CustomScript = 0x80000000;

// Network protocols, framing protocols, dial modes, entry and encryption types.
inline constexpr DWORD RASNP_NetBEUI = 0x00000001;
inline constexpr DWORD RASNP_Ipx = 0x00000002;
inline constexpr DWORD RASNP_Ip = 0x00000004;

inline constexpr DWORD RASFP_Ppp = 0x00000001;
inline constexpr DWORD RASFP_Slip = 0x00000002;
inline constexpr DWORD RASFP_Ras = 0x00000004;

inline constexpr DWORD RASEDM_DialAll = 1;
inline constexpr DWORD RASEDM_DialAsNeeded = 2;

inline constexpr DWORD RASET_Phone = 1;
inline constexpr DWORD RASET_Vpn = 2;
inline constexpr DWORD RASET_Direct = 3;
inline constexpr DWORD RASET_Internet = 4;

inline constexpr DWORD ET_None = 0;
inline constexpr DWORD ET_Require = 1;
inline constexpr DWORD ET_RequireMax = 2;
inline constexpr DWORD ET_Optional = 3;

// Device types as RasEnumDevicesA reports them.
#define RASDT_Modem "modem"
#define RASDT_Isdn "isdn"
#define RASDT_X25 "x25"
#define RASDT_Vpn "vpn"
#define RASDT_Pad "pad"

// ---------------------------------------------------------------- result codes
inline constexpr DWORD SUCCESS = 0;
inline constexpr DWORD ERROR_INVALID_HANDLE = 6;
inline constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD ERROR_INVALID_PARAMETER = 87;
inline constexpr DWORD ERROR_CALL_NOT_IMPLEMENTED = 120;
inline constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;

inline constexpr DWORD RASBASE = 600;
inline constexpr DWORD PENDING = 600;
inline constexpr DWORD ERROR_INVALID_PORT_HANDLE = 601;
inline constexpr DWORD ERROR_BUFFER_TOO_SMALL = 603;
inline constexpr DWORD ERROR_WRONG_INFO_SPECIFIED = 604;
inline constexpr DWORD ERROR_PORT_NOT_CONNECTED = 606;
inline constexpr DWORD ERROR_DEVICE_DOES_NOT_EXIST = 608;
inline constexpr DWORD ERROR_DEVICETYPE_DOES_NOT_EXIST = 609;
inline constexpr DWORD ERROR_BUFFER_INVALID = 610;
inline constexpr DWORD ERROR_PORT_NOT_FOUND = 615;
inline constexpr DWORD ERROR_PORT_NOT_OPEN = 618;
inline constexpr DWORD ERROR_PORT_DISCONNECTED = 619;
inline constexpr DWORD ERROR_CANNOT_OPEN_PHONEBOOK = 621;
inline constexpr DWORD ERROR_CANNOT_LOAD_PHONEBOOK = 622;
inline constexpr DWORD ERROR_CANNOT_FIND_PHONEBOOK_ENTRY = 623;
inline constexpr DWORD ERROR_CANNOT_WRITE_PHONEBOOK = 624;
inline constexpr DWORD ERROR_CORRUPT_PHONEBOOK = 625;
inline constexpr DWORD ERROR_DISCONNECTION = 628;
inline constexpr DWORD ERROR_REMOTE_DISCONNECTION = 629;
inline constexpr DWORD ERROR_HARDWARE_FAILURE = 630;
inline constexpr DWORD ERROR_USER_DISCONNECTION = 631;
inline constexpr DWORD ERROR_INVALID_SIZE = 632;
inline constexpr DWORD ERROR_PORT_NOT_AVAILABLE = 633;
inline constexpr DWORD ERROR_UNKNOWN = 635;
inline constexpr DWORD ERROR_REQUEST_TIMEOUT = 638;
inline constexpr DWORD ERROR_AUTH_INTERNAL = 645;
inline constexpr DWORD ERROR_SERVER_NOT_RESPONDING = 650;
inline constexpr DWORD ERROR_FROM_DEVICE = 651;
inline constexpr DWORD ERROR_NO_RESPONSES = 660;
inline constexpr DWORD ERROR_DEVICE_NOT_READY = 666;
inline constexpr DWORD ERROR_NO_CONNECTION = 668;
inline constexpr DWORD ERROR_LINE_BUSY = 676;
inline constexpr DWORD ERROR_VOICE_ANSWER = 677;
inline constexpr DWORD ERROR_NO_ANSWER = 678;
inline constexpr DWORD ERROR_NO_CARRIER = 679;
inline constexpr DWORD ERROR_NO_DIALTONE = 680;
inline constexpr DWORD ERROR_AUTHENTICATION_FAILURE = 691;
inline constexpr DWORD ERROR_PORT_OR_DEVICE = 692;
inline constexpr DWORD ERROR_RASMAN_CANNOT_INITIALIZE = 711;
inline constexpr DWORD ERROR_PPP_TIMEOUT = 718;
inline constexpr DWORD ERROR_PPP_REMOTE_TERMINATED = 719;
inline constexpr DWORD ERROR_PPP_NO_PROTOCOLS_CONFIGURED = 720;
inline constexpr DWORD ERROR_PPP_NO_RESPONSE = 721;
inline constexpr DWORD ERROR_PROJECTION_NOT_COMPLETE = 730;
inline constexpr DWORD ERROR_PPP_LCP_TERMINATED = 734;
inline constexpr DWORD ERROR_PPP_NCP_TERMINATED = 736;
inline constexpr DWORD ERROR_BAD_PHONE_NUMBER = 749;
inline constexpr DWORD ERROR_HANGUP_FAILED = 753;
inline constexpr DWORD ERROR_DIAL_ALREADY_IN_PROGRESS = 756;
inline constexpr DWORD ERROR_CONNECTING_DEVICE_NOT_FOUND = 797;
inline constexpr DWORD RASBASEEND = 835;

// ---------------------------------------------------------------- records
#pragma pack(push, 4)

struct RASIPADDR {
    BYTE a, b, c, d;
};

struct RASGUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};

// RASCONN: 412 (Windows 95/98, NT 4), 676 (+szPhonebook, dwSubEntry: ME),
// 692 (+guidEntry: 2000/XP).
struct RASCONN_412 {
    DWORD dwSize;
    HRASCONN hrasconn;
    CHAR szEntryName[RAS_MaxEntryName + 1];
    CHAR szDeviceType[RAS_MaxDeviceType + 1];
    CHAR szDeviceName[RAS_MaxDeviceName + 1];
};
struct RASCONN_676 {
    DWORD dwSize;
    HRASCONN hrasconn;
    CHAR szEntryName[RAS_MaxEntryName + 1];
    CHAR szDeviceType[RAS_MaxDeviceType + 1];
    CHAR szDeviceName[RAS_MaxDeviceName + 1];
    CHAR szPhonebook[RAS_MaxPath];
    DWORD dwSubEntry;
};
struct RASCONN_692 {
    DWORD dwSize;
    HRASCONN hrasconn;
    CHAR szEntryName[RAS_MaxEntryName + 1];
    CHAR szDeviceType[RAS_MaxDeviceType + 1];
    CHAR szDeviceName[RAS_MaxDeviceName + 1];
    CHAR szPhonebook[RAS_MaxPath];
    DWORD dwSubEntry;
    RASGUID guidEntry;
};
typedef RASCONN_692 RASCONNA;
typedef RASCONNA* LPRASCONNA;

// RASCONNSTATUS: 160 (first layout), 288 (+szPhoneNumber).
struct RASCONNSTATUS_160 {
    DWORD dwSize;
    RASCONNSTATE rasconnstate;
    DWORD dwError;
    CHAR szDeviceType[RAS_MaxDeviceType + 1];
    CHAR szDeviceName[RAS_MaxDeviceName + 1];
};
struct RASCONNSTATUS_288 {
    DWORD dwSize;
    RASCONNSTATE rasconnstate;
    DWORD dwError;
    CHAR szDeviceType[RAS_MaxDeviceType + 1];
    CHAR szDeviceName[RAS_MaxDeviceName + 1];
    CHAR szPhoneNumber[RAS_MaxPhoneNumber + 1];
};
typedef RASCONNSTATUS_288 RASCONNSTATUSA;
typedef RASCONNSTATUSA* LPRASCONNSTATUSA;

// RASDIALPARAMS: 1052 (first layout), 1060 (+dwSubEntry, dwCallbackId).
struct RASDIALPARAMS_1052 {
    DWORD dwSize;
    CHAR szEntryName[RAS_MaxEntryName + 1];
    CHAR szPhoneNumber[RAS_MaxPhoneNumber + 1];
    CHAR szCallbackNumber[RAS_MaxCallbackNumber + 1];
    CHAR szUserName[RAS_UserNameLen + 1];
    CHAR szPassword[RAS_PasswordLen + 1];
    CHAR szDomain[RAS_DomainLen + 1];
};
struct RASDIALPARAMS_1060 {
    DWORD dwSize;
    CHAR szEntryName[RAS_MaxEntryName + 1];
    CHAR szPhoneNumber[RAS_MaxPhoneNumber + 1];
    CHAR szCallbackNumber[RAS_MaxCallbackNumber + 1];
    CHAR szUserName[RAS_UserNameLen + 1];
    CHAR szPassword[RAS_PasswordLen + 1];
    CHAR szDomain[RAS_DomainLen + 1];
    DWORD dwSubEntry;
    DWORD dwCallbackId;
};
typedef RASDIALPARAMS_1060 RASDIALPARAMSA;
typedef RASDIALPARAMSA* LPRASDIALPARAMSA;

// RASENTRYNAME: 264 (first layout), 532 (+dwFlags, szPhonebookPath).
struct RASENTRYNAME_264 {
    DWORD dwSize;
    CHAR szEntryName[RAS_MaxEntryName + 1];
};
struct RASENTRYNAME_532 {
    DWORD dwSize;
    CHAR szEntryName[RAS_MaxEntryName + 1];
    DWORD dwFlags;
    CHAR szPhonebookPath[RAS_MaxPath + 1];
};
typedef RASENTRYNAME_532 RASENTRYNAMEA;
typedef RASENTRYNAMEA* LPRASENTRYNAMEA;

// RASENTRY: 1768 (first layout: 95/98/ME, NT 4), 1796 (+multilink and idle
// fields), 2088 (Windows 2000), 2884 (Windows XP).
#define SP_RASENTRY_1768_FIELDS                          \
    DWORD dwSize;                                        \
    DWORD dwfOptions;                                    \
    DWORD dwCountryID;                                   \
    DWORD dwCountryCode;                                 \
    CHAR szAreaCode[RAS_MaxAreaCode + 1];                \
    CHAR szLocalPhoneNumber[RAS_MaxPhoneNumber + 1];     \
    DWORD dwAlternateOffset;                             \
    RASIPADDR ipaddr;                                    \
    RASIPADDR ipaddrDns;                                 \
    RASIPADDR ipaddrDnsAlt;                              \
    RASIPADDR ipaddrWins;                                \
    RASIPADDR ipaddrWinsAlt;                             \
    DWORD dwFrameSize;                                   \
    DWORD dwfNetProtocols;                               \
    DWORD dwFramingProtocol;                             \
    CHAR szScript[RAS_MaxPath];                          \
    CHAR szAutodialDll[RAS_MaxPath];                     \
    CHAR szAutodialFunc[RAS_MaxPath];                    \
    CHAR szDeviceType[RAS_MaxDeviceType + 1];            \
    CHAR szDeviceName[RAS_MaxDeviceName + 1];            \
    CHAR szX25PadType[RAS_MaxPadType + 1];               \
    CHAR szX25Address[RAS_MaxX25Address + 1];            \
    CHAR szX25Facilities[RAS_MaxFacilities + 1];         \
    CHAR szX25UserData[RAS_MaxUserData + 1];             \
    DWORD dwChannels;                                    \
    DWORD dwReserved1;                                   \
    DWORD dwReserved2;
#define SP_RASENTRY_1796_FIELDS                          \
    DWORD dwSubEntries;                                  \
    DWORD dwDialMode;                                    \
    DWORD dwDialExtraPercent;                            \
    DWORD dwDialExtraSampleSeconds;                      \
    DWORD dwHangUpExtraPercent;                          \
    DWORD dwHangUpExtraSampleSeconds;                    \
    DWORD dwIdleDisconnectSeconds;
#define SP_RASENTRY_2088_FIELDS                          \
    DWORD dwType;                                        \
    DWORD dwEncryptionType;                              \
    DWORD dwCustomAuthKey;                               \
    RASGUID guidId;                                      \
    CHAR szCustomDialDll[RAS_MaxPath];                   \
    DWORD dwVpnStrategy;
#define SP_RASENTRY_2884_FIELDS                          \
    DWORD dwfOptions2;                                   \
    DWORD dwfOptions3;                                   \
    CHAR szDnsSuffix[RAS_MaxDnsSuffix];                  \
    DWORD dwTcpWindowSize;                               \
    CHAR szPrerequisitePbk[RAS_MaxPath];                 \
    CHAR szPrerequisiteEntry[RAS_MaxEntryName + 1];      \
    DWORD dwRedialCount;                                 \
    DWORD dwRedialPause;

struct RASENTRY_1768 {
    SP_RASENTRY_1768_FIELDS
};
struct RASENTRY_1796 {
    SP_RASENTRY_1768_FIELDS
    SP_RASENTRY_1796_FIELDS
};
struct RASENTRY_2088 {
    SP_RASENTRY_1768_FIELDS
    SP_RASENTRY_1796_FIELDS
    SP_RASENTRY_2088_FIELDS
};
struct RASENTRY_2884 {
    SP_RASENTRY_1768_FIELDS
    SP_RASENTRY_1796_FIELDS
    SP_RASENTRY_2088_FIELDS
    SP_RASENTRY_2884_FIELDS
};
#undef SP_RASENTRY_1768_FIELDS
#undef SP_RASENTRY_1796_FIELDS
#undef SP_RASENTRY_2088_FIELDS
#undef SP_RASENTRY_2884_FIELDS
typedef RASENTRY_2884 RASENTRYA;
typedef RASENTRYA* LPRASENTRYA;

// RASDEVINFO: 152 on every version.
struct RASDEVINFOA {
    DWORD dwSize;
    CHAR szDeviceType[RAS_MaxDeviceType + 1];
    CHAR szDeviceName[RAS_MaxDeviceName + 1];
};
typedef RASDEVINFOA RASDEVINFO_152;
typedef RASDEVINFOA* LPRASDEVINFOA;

// RAS_STATS: 60.
struct RAS_STATS {
    DWORD dwSize;
    DWORD dwBytesXmited;
    DWORD dwBytesRcved;
    DWORD dwFramesXmited;
    DWORD dwFramesRcved;
    DWORD dwCrcErr;
    DWORD dwTimeoutErr;
    DWORD dwAlignmentErr;
    DWORD dwHardwareOverrunErr;
    DWORD dwFramingErr;
    DWORD dwBufferOverrunErr;
    DWORD dwCompressionRatioIn;
    DWORD dwCompressionRatioOut;
    DWORD dwBps;
    DWORD dwConnectDuration; // milliseconds
};
typedef RAS_STATS* PRAS_STATS;

// RASDIALEXTENSIONS: 16 (first layout), 28 (Windows 2000). Accepted and ignored.
struct RASDIALEXTENSIONS {
    DWORD dwSize;
    DWORD dwfOptions;
    DWORD hwndParent;
    DWORD reserved;
};
typedef RASDIALEXTENSIONS* LPRASDIALEXTENSIONS;

#pragma pack(pop)

static_assert(sizeof(RASCONN_412) == 412);
static_assert(sizeof(RASCONN_676) == 676);
static_assert(sizeof(RASCONN_692) == 692);
static_assert(sizeof(RASCONNSTATUS_160) == 160);
static_assert(sizeof(RASCONNSTATUS_288) == 288);
static_assert(sizeof(RASDIALPARAMS_1052) == 1052);
static_assert(sizeof(RASDIALPARAMS_1060) == 1060);
static_assert(sizeof(RASENTRYNAME_264) == 264);
static_assert(sizeof(RASENTRYNAME_532) == 532);
static_assert(sizeof(RASENTRY_1768) == 1768);
static_assert(sizeof(RASENTRY_1796) == 1796);
static_assert(sizeof(RASENTRY_2088) == 2088);
static_assert(sizeof(RASENTRY_2884) == 2884);
static_assert(sizeof(RASDEVINFOA) == 152);
static_assert(sizeof(RAS_STATS) == 60);
static_assert(sizeof(RASDIALEXTENSIONS) == 16);
static_assert(offsetof(RASENTRY_1768, szLocalPhoneNumber) == 27);
static_assert(offsetof(RASENTRY_1768, dwfNetProtocols) == 184);
static_assert(offsetof(RASENTRY_1768, szDeviceType) == 972);
static_assert(offsetof(RASENTRY_1768, szDeviceName) == 989);
static_assert(offsetof(RASENTRY_2088, dwDialMode) == 1772);
static_assert(offsetof(RASENTRY_2088, dwType) == 1796);
static_assert(offsetof(RASENTRY_2088, dwEncryptionType) == 1800);
static_assert(offsetof(RASCONN_676, szPhonebook) == 411);
static_assert(offsetof(RASDIALPARAMS_1052, szUserName) == 519);

// ---------------------------------------------------------------- functions
// Exported by libskyportal-rasapi.so (see RasLibrary.h). Every function
// returns 0 or one of the result codes above. Sizes and counts are in/out
// through LPDWORD as on Windows; a buffer too small answers 603 with the
// bytes needed and the record count written back.
extern "C" {

DWORD RasDialA(LPRASDIALEXTENSIONS lpRasDialExtensions, LPCSTR lpszPhonebook,
               LPRASDIALPARAMSA lpRasDialParams, DWORD dwNotifierType, LPVOID lpvNotifier,
               LPHRASCONN lphRasConn);
DWORD RasHangUpA(HRASCONN hrasconn);
DWORD RasGetConnectStatusA(HRASCONN hrasconn, LPRASCONNSTATUSA lpRasConnStatus);
DWORD RasEnumConnectionsA(LPRASCONNA lprasconn, LPDWORD lpcb, LPDWORD lpcConnections);
DWORD RasEnumEntriesA(LPCSTR reserved, LPCSTR lpszPhonebook, LPRASENTRYNAMEA lprasentryname,
                      LPDWORD lpcb, LPDWORD lpcEntries);
DWORD RasGetEntryPropertiesA(LPCSTR lpszPhonebook, LPCSTR lpszEntry, LPRASENTRYA lpRasEntry,
                             LPDWORD lpdwEntryInfoSize, LPBYTE lpbDeviceInfo,
                             LPDWORD lpdwDeviceInfoSize);
DWORD RasSetEntryPropertiesA(LPCSTR lpszPhonebook, LPCSTR lpszEntry, LPRASENTRYA lpRasEntry,
                             DWORD dwEntryInfoSize, LPBYTE lpbDeviceInfo, DWORD dwDeviceInfoSize);
DWORD RasGetEntryDialParamsA(LPCSTR lpszPhonebook, LPRASDIALPARAMSA lprasdialparams,
                             LPBOOL lpfPassword);
DWORD RasSetEntryDialParamsA(LPCSTR lpszPhonebook, LPRASDIALPARAMSA lprasdialparams,
                             BOOL fRemovePassword);
DWORD RasDeleteEntryA(LPCSTR lpszPhonebook, LPCSTR lpszEntry);
DWORD RasEnumDevicesA(LPRASDEVINFOA lpRasDevInfo, LPDWORD lpcb, LPDWORD lpcDevices);
DWORD RasGetErrorStringA(UINT uErrorValue, LPSTR lpszErrorString, DWORD cBufSize);
DWORD RasGetConnectionStatistics(HRASCONN hRasConn, PRAS_STATS lpStatistics);

} // extern "C"

// Function types for looking the functions up by name (dlsym).
typedef decltype(&RasDialA) PFN_RasDialA;
typedef decltype(&RasHangUpA) PFN_RasHangUpA;
typedef decltype(&RasGetConnectStatusA) PFN_RasGetConnectStatusA;
typedef decltype(&RasEnumConnectionsA) PFN_RasEnumConnectionsA;
typedef decltype(&RasEnumEntriesA) PFN_RasEnumEntriesA;
typedef decltype(&RasGetEntryPropertiesA) PFN_RasGetEntryPropertiesA;
typedef decltype(&RasSetEntryPropertiesA) PFN_RasSetEntryPropertiesA;
typedef decltype(&RasGetEntryDialParamsA) PFN_RasGetEntryDialParamsA;
typedef decltype(&RasSetEntryDialParamsA) PFN_RasSetEntryDialParamsA;
typedef decltype(&RasDeleteEntryA) PFN_RasDeleteEntryA;
typedef decltype(&RasEnumDevicesA) PFN_RasEnumDevicesA;
typedef decltype(&RasGetErrorStringA) PFN_RasGetErrorStringA;
typedef decltype(&RasGetConnectionStatistics) PFN_RasGetConnectionStatistics;
