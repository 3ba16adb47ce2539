#pragma once
// The numbers of the Windows API that the portable core uses, one name each: message-box styles and answers,
// command ids and notifications, system error numbers, registry value types and access rights. They keep the
// Windows values on every platform, so that the Win32 layer passes them on unchanged and the other platforms
// answer in the same terms. platform/win32/windows_numbers_check.cpp checks each against the system headers.

#include <cstdint>

// Message-box styles.
inline constexpr std::uint32_t WIN_MB_OK = 0x00000000;
inline constexpr std::uint32_t WIN_MB_YESNO = 0x00000004;
inline constexpr std::uint32_t WIN_MB_ICONERROR = 0x00000010;
inline constexpr std::uint32_t WIN_MB_ICONQUESTION = 0x00000020;
inline constexpr std::uint32_t WIN_MB_ICONWARNING = 0x00000030;
inline constexpr std::uint32_t WIN_MB_ICONINFORMATION = 0x00000040;
inline constexpr std::uint32_t WIN_MB_DEFBUTTON2 = 0x00000100;
inline constexpr std::uint32_t WIN_MB_SYSTEMMODAL = 0x00001000;
inline constexpr std::uint32_t WIN_MB_TYPEMASK = 0x0000000F;  // the buttons

// Message-box answers, which are also the command ids of the dialog buttons.
inline constexpr int WIN_IDOK = 1;
inline constexpr int WIN_IDCANCEL = 2;
inline constexpr int WIN_IDYES = 6;
inline constexpr int WIN_IDNO = 7;

// The combo box's notification that its selection changed.
inline constexpr std::uint16_t WIN_CBN_SELCHANGE = 1;

// System error numbers.
inline constexpr std::uint32_t WIN_ERROR_SUCCESS = 0;
inline constexpr std::uint32_t WIN_ERROR_FILE_NOT_FOUND = 2;  // also: no such registry key or value
inline constexpr std::uint32_t WIN_ERROR_ACCESS_DENIED = 5;
inline constexpr std::uint32_t WIN_ERROR_INVALID_HANDLE = 6;
inline constexpr std::uint32_t WIN_ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr std::uint32_t WIN_ERROR_GEN_FAILURE = 31;
inline constexpr std::uint32_t WIN_ERROR_NOT_SUPPORTED = 50;
inline constexpr std::uint32_t WIN_ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t WIN_ERROR_SEM_TIMEOUT = 121;
inline constexpr std::uint32_t WIN_ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr std::uint32_t WIN_ERROR_BUSY = 170;
inline constexpr std::uint32_t WIN_ERROR_MORE_DATA = 234;
inline constexpr std::uint32_t WIN_ERROR_NO_MORE_ITEMS = 259;
inline constexpr std::uint32_t WIN_ERROR_OPERATION_ABORTED = 995;
inline constexpr std::uint32_t WIN_ERROR_DEVICE_NOT_CONNECTED = 1167;
inline constexpr std::uint32_t WIN_ERROR_CANCELLED = 1223;  // the user refused the elevation prompt

// Registry value types.
inline constexpr std::uint32_t WIN_REG_NONE = 0;
inline constexpr std::uint32_t WIN_REG_SZ = 1;
inline constexpr std::uint32_t WIN_REG_BINARY = 3;
inline constexpr std::uint32_t WIN_REG_DWORD = 4;
inline constexpr std::uint32_t WIN_REG_QWORD = 11;

// Registry access rights.
inline constexpr std::uint32_t WIN_KEY_QUERY_VALUE = 0x0001;
inline constexpr std::uint32_t WIN_KEY_SET_VALUE = 0x0002;
inline constexpr std::uint32_t WIN_KEY_ENUMERATE_SUB_KEYS = 0x0008;
inline constexpr std::uint32_t WIN_KEY_ALL_ACCESS = 0xF003F;
