// Every text the user sees, in one place for translators.
#pragma once

static const wchar_t TEXT_WINDOW_TITLE[] = L"Lumvex游戏";                // Lumvex Games
static const wchar_t TEXT_DOWNLOADING[] = L"安装文件下载中...";          // Downloading the setup file...
static const wchar_t TEXT_REGISTER_FAILED[] = L"窗口注册失败！";         // Window registration failed!
static const wchar_t TEXT_CREATE_FAILED[] = L"窗口创建失败！";           // Window creation failed!
static const wchar_t TEXT_CONFIRM_QUIT[] = L"是否退出Lumvex游戏安装？";  // Quit the Lumvex Games setup?
static const wchar_t TEXT_CONFIRM_CAPTION[] = L"Lumvex游戏-安装";        // Lumvex Games - Setup
static const wchar_t TEXT_DOWNLOAD_DONE[] = L"下载完成...";              // Download complete...
static const wchar_t TEXT_DOWNLOAD_ERROR[] = L"下载错误，请重试！";      // Download error, please try again!
static const wchar_t TEXT_FILE_NOT_FOUND[] = L"找不到文件，请重试！";    // File not found, please try again!
static const wchar_t TEXT_BOX_CAPTION[] = L"Lumvex";                     // caption of the plain boxes
