// A fresh, empty working directory for one test, and the settings and package keys restored
// after it.
#pragma once

#include <windows.h>

#include <map>
#include <string>

#include "download/core/PackageTrust.h"
#include "settings/Settings.h"

class TestFolder {
public:
    // In the system's temporary folder, or in base (ending in a separator) where one is given.
    explicit TestFolder(const std::wstring &base = std::wstring());
    ~TestFolder();
    const std::wstring &Path() const { return path_; }

private:
    std::wstring path_;
    std::wstring previousDirectory_;
    BOOTSTRAP_SETTINGS savedSettings_;
    PACKAGE_TRUST savedTrust_;
};

typedef std::map<std::string, std::string> Files;

// Name to content of every file in the working directory and its folders ("<dir>" for a
// folder, "folder\\name" for what it holds); long contents are summarised so that a failing
// comparison stays readable.
Files FolderContents();
Files Summarised(const Files &files);

// Names in the tables are UTF-8.
std::string Utf8(const std::wstring &text);
std::wstring FromUtf8(const std::string &text);

void WriteFileBytes(const wchar_t *name, const std::string &bytes);
std::string ReadFileBytes(const wchar_t *name);
