#include "TestFolder.h"

namespace {

void RemoveTree(const std::wstring &path)
{
    WIN32_FIND_DATAW found;
    HANDLE hFind = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (hFind != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring child = path + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(hFind, &found));
        FindClose(hFind);
    }
    RemoveDirectoryW(path.c_str());
}

}  // namespace

TestFolder::TestFolder(const std::wstring &base) : savedSettings_(BootstrapSettings), savedTrust_(PackageTrust)
{
    wchar_t buffer[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, buffer);
    previousDirectory_ = buffer;
    GetTempPathW(MAX_PATH, buffer);
    if (!base.empty())
        lstrcpynW(buffer, base.c_str(), MAX_PATH);
    static unsigned sequence = 0;
    // Wine reuses process ids at once: the clock keeps a later process out of this folder.
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    path_ = std::wstring(buffer) + L"lumvex-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(now.QuadPart) + L"-" + std::to_wstring(++sequence);
    CreateDirectoryW(path_.c_str(), NULL);
    SetCurrentDirectoryW(path_.c_str());
}

TestFolder::~TestFolder()
{
    SetCurrentDirectoryW(previousDirectory_.c_str());
    RemoveTree(path_);
    BootstrapSettings = savedSettings_;
    PackageTrust = savedTrust_;
}

Files Summarised(const Files &files)
{
    Files summary;
    for (const auto &file : files) {
        if (file.second.size() <= 64) {
            summary[file.first] = file.second;
            continue;
        }
        uint32_t hash = 2166136261u;
        for (unsigned char c : file.second)
            hash = (hash ^ c) * 16777619u;
        summary[file.first] = "<" + std::to_string(file.second.size()) + " bytes, hash " + std::to_string(hash) + ">";
    }
    return summary;
}

namespace {

// Folders as "<dir>", and what they hold under "folder\\name".
void AddContents(const std::wstring &prefix, Files *contents)
{
    WIN32_FIND_DATAW found;
    HANDLE hFind = FindFirstFileW((prefix + L"*").c_str(), &found);
    if (hFind == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring name = prefix + found.cFileName;
        if (lstrcmpW(found.cFileName, L".") == 0 || lstrcmpW(found.cFileName, L"..") == 0)
            continue;
        std::string narrow = Utf8(name);
        bool folder = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        (*contents)[narrow] = folder ? "<dir>" : ReadFileBytes(name.c_str());
        if (folder)
            AddContents(name + L"\\", contents);
    } while (FindNextFileW(hFind, &found));
    FindClose(hFind);
}

}  // namespace

Files FolderContents()
{
    Files contents;
    AddContents(L"", &contents);
    return Summarised(contents);
}

std::string Utf8(const std::wstring &text)
{
    std::string bytes(text.size() * 3, '\0');
    int cb = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &bytes[0], (int)bytes.size(), NULL, NULL);
    bytes.resize(cb > 0 ? (size_t)cb : 0);
    return bytes;
}

std::wstring FromUtf8(const std::string &text)
{
    std::wstring wide(text.size(), L'\0');
    int cch = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &wide[0], (int)wide.size());
    wide.resize(cch > 0 ? (size_t)cch : 0);
    return wide;
}

void WriteFileBytes(const wchar_t *name, const std::string &bytes)
{
    HANDLE hFile = CreateFileW(name, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD cbWritten = 0;
    WriteFile(hFile, bytes.data(), (DWORD)bytes.size(), &cbWritten, NULL);
    CloseHandle(hFile);
}

std::string ReadFileBytes(const wchar_t *name)
{
    HANDLE hFile = CreateFileW(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    if (hFile == INVALID_HANDLE_VALUE)
        return "<unreadable>";
    std::string bytes;
    char buffer[65536];
    DWORD cbRead = 0;
    while (ReadFile(hFile, buffer, sizeof(buffer), &cbRead, NULL) && cbRead > 0)
        bytes.append(buffer, cbRead);
    CloseHandle(hFile);
    return bytes;
}
