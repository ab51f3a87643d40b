#include <windows.h>

#include <string>

#include "console.hpp"

namespace tolvexctl {

namespace {

// What the console control handler needs to give the console its echo back.
HANDLE g_input = nullptr;
DWORD g_saved_mode = 0;
volatile LONG g_echo_off = 0;

BOOL WINAPI restore_echo(DWORD) {
    if (g_echo_off != 0)
        ::SetConsoleMode(g_input, g_saved_mode);
    return FALSE;  // the default handler still ends the process
}

std::wstring widen(std::string_view s) {
    if (s.empty())
        return {};
    const int n =
        ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
    std::wstring w(static_cast<std::size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
    return w;
}

void write_text(std::string_view text) {
    HANDLE err = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    DWORD n = 0;
    if (::GetConsoleMode(err, &mode)) {
        const std::wstring w = widen(text);
        ::WriteConsoleW(err, w.data(), static_cast<DWORD>(w.size()), &n, nullptr);
    } else {
        ::WriteFile(err, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
    }
}

}  // namespace

bool input_is_terminal() {
    DWORD mode = 0;
    return ::GetConsoleMode(::GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

std::expected<std::string, std::string> read_secret(std::string_view prompt) {
    HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD saved = 0;
    if (!::GetConsoleMode(in, &saved))
        return std::unexpected(std::string("o console não pôde ser lido"));
    g_input = in;
    g_saved_mode = saved;
    ::SetConsoleCtrlHandler(restore_echo, TRUE);
    // Echo off before the prompt shows: whatever is typed once it is there
    // must not appear.
    g_echo_off = 1;
    ::SetConsoleMode(in, (saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) | ENABLE_LINE_INPUT |
                             ENABLE_PROCESSED_INPUT);
    write_text(prompt);
    // Line input returns the line with its "\r\n" once Enter is pressed.
    std::wstring line;
    line.reserve(256);  // a PIN grows it in place, leaving no copies behind
    wchar_t chunk[64];
    bool ended = false;
    for (;;) {
        DWORD n = 0;
        if (!::ReadConsoleW(in, chunk, static_cast<DWORD>(std::size(chunk)), &n, nullptr) ||
            n == 0) {
            ended = true;
            break;
        }
        line.append(chunk, n);
        if (line.find(L'\n') != std::wstring::npos)
            break;
    }
    ::SecureZeroMemory(chunk, sizeof chunk);
    ::SetConsoleMode(in, saved);
    g_echo_off = 0;
    ::SetConsoleCtrlHandler(restore_echo, FALSE);
    write_text("\n");  // the Enter was not echoed

    const auto end = line.find_first_of(L"\r\n");
    if (end != std::wstring::npos)
        line.resize(end);
    if (ended && line.empty())
        return std::unexpected(std::string("nenhum PIN digitado"));
    std::string utf8;
    if (!line.empty()) {
        const int len = ::WideCharToMultiByte(
            CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0, nullptr, nullptr);
        utf8.assign(static_cast<std::size_t>(len), '\0');
        ::WideCharToMultiByte(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), utf8.data(),
                              len, nullptr, nullptr);
    }
    ::SecureZeroMemory(line.data(), line.size() * sizeof(wchar_t));
    return utf8;
}

const PlatformHelp& platform_help() {
    static const PlatformHelp help{
        "%APPDATA%\\TolvexSign\\agent.json",
        "C:\\\\Windows\\\\System32\\\\eTPKCS11.dll",
        "set TOLVEX_PKCS11_MODULES=C:\\Windows\\System32\\eTPKCS11.dll",
    };
    return help;
}

}  // namespace tolvexctl
