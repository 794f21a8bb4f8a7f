// The options dialog (template 102): "Save" and "..." choose the HTML file, two lists shape durations, with a live sample.
#include "options_dialog.h"

#include "format.h"
#include "resources/resource.h"
#include "settings.h"

#include <commdlg.h>

#include <array>
#include <cstdint>
#include <cstring>

namespace {

// A list's index is the setting's value.
constexpr std::array<const char *, 4> kMaxScaleNames = {"Seconds", "Minutes", "Hours", "Days"};
constexpr std::array<const char *, 5> kPrecisionNames = {"(None)", "0.1", "0.01", "0.001", "0.0001"};

HINSTANCE g_instance = nullptr;
ServerSettings *g_dialogSettings = nullptr;  // the settings the open dialog changes

ServerSettings &Settings() { return *g_dialogSettings; }

void ShowSample(HWND dialog) {
    char text[kFormatBufferSize];
    FormatDuration(kSampleDurationTicks, Settings().Form(), text);
    text[sizeof text - 1] = '\0';
    SetDlgItemTextA(dialog, IDC_SAMPLE, text);
}

// Shows the path, "Save" checked when there is one, and the sample; reads the settings only.
void ShowPathAndSample(HWND dialog) {
    const ServerSettings &settings = Settings();
    char path[sizeof settings.htmlPath];
    const size_t n = strnlen(settings.htmlPath, sizeof path - 1);
    std::memcpy(path, settings.htmlPath, n);
    path[n] = '\0';
    SetDlgItemTextA(dialog, IDC_HTML_PATH, path);
    CheckDlgButton(dialog, IDC_SAVE_HTML, path[0] ? BST_CHECKED : BST_UNCHECKED);
    EnableWindow(GetDlgItem(dialog, IDC_HTML_PATH), path[0] != '\0');
    ShowSample(dialog);
}

template <size_t N>
void FillList(HWND dialog, int id, const std::array<const char *, N> &names, int32_t selected) {
    HWND list = GetDlgItem(dialog, id);
    SendMessageA(list, CB_RESETCONTENT, 0, 0);
    for (const char *name : names) SendMessageA(list, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(name));
    SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(selected), 0);
}

void Initialise(HWND dialog) {
    FillList(dialog, IDC_MAX_SCALE, kMaxScaleNames, Settings().maxScale);
    FillList(dialog, IDC_PRECISION, kPrecisionNames, Settings().resolution);
    ShowPathAndSample(dialog);
}

// The chooser works on a copy of the path: a failed call (a chosen name
// longer than the buffer, for one) may write into its buffer, and the path
// in use must then stay as it was.
void ChooseFile(HWND dialog) {
    char path[sizeof ServerSettings::htmlPath];
    std::memcpy(path, Settings().htmlPath, sizeof path);
    path[sizeof path - 1] = '\0';

    OPENFILENAMEA request;
    ZeroMemory(&request, sizeof request);
    request.lStructSize = sizeof request;
    request.hwndOwner = dialog;
    request.hInstance = g_instance;
    request.lpstrFilter = "HTML Files\0*.htm\0All Files\0*.*\0";  // the literal's own NUL ends the list
    request.nFilterIndex = 1;
    request.lpstrFile = path;
    request.nMaxFile = sizeof path;
    request.Flags = OFN_EXPLORER | OFN_PATHMUSTEXIST | OFN_OVERWRITEPROMPT;
    if (!GetSaveFileNameA(&request)) return;

    path[sizeof path - 1] = '\0';
    SetHtmlPath(Settings(), path);
    ShowPathAndSample(dialog);
}

// A list's new selection becomes the setting through set (settings.h).
void TakeSelection(HWND dialog, HWND list, int32_t count, int (*set)(ServerSettings &, int32_t)) {
    LRESULT index = SendMessageA(list, CB_GETCURSEL, 0, 0);
    if (index < 0 || index >= count) return;  // no selection: keep the setting
    set(Settings(), static_cast<int32_t>(index));
    ShowSample(dialog);
}

void OnCommand(HWND dialog, int id, int code, HWND control) {
    switch (id) {
    case IDOK:
        EndDialog(dialog, 0);
        break;
    case IDC_SAVE_HTML: {
        // Checking "Save" only readies the path; output starts once a file is chosen.
        const bool checked = IsDlgButtonChecked(dialog, IDC_SAVE_HTML) == BST_CHECKED;
        EnableWindow(GetDlgItem(dialog, IDC_HTML_PATH), checked);
        if (!checked) StopHtmlOutput(Settings());
        break;
    }
    case IDC_BROWSE:
        ChooseFile(dialog);
        break;
    case IDC_MAX_SCALE:
        if (code == CBN_SELCHANGE)
            TakeSelection(dialog, control ? control : GetDlgItem(dialog, id),
                          static_cast<int32_t>(kMaxScaleNames.size()), SetMaxScale);
        break;
    case IDC_PRECISION:
        if (code == CBN_SELCHANGE)
            TakeSelection(dialog, control ? control : GetDlgItem(dialog, id),
                          static_cast<int32_t>(kPrecisionNames.size()), SetResolution);
        break;
    default:
        break;  // IDCANCEL from Escape among them: there is no cancel
    }
}

// Answers 0 to everything, initialisation included, so no control gets the
// keyboard focus when the dialog opens.
INT_PTR CALLBACK OptionsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        Initialise(dialog);
        break;
    case WM_CLOSE:
        EndDialog(dialog, 0);
        break;
    case WM_COMMAND:
        OnCommand(dialog, LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
        break;
    default:
        break;
    }
    return 0;
}

}  // namespace

void RunOptionsDialog(HINSTANCE instance, HWND owner, ServerSettings &settings) {
    g_instance = instance;
    g_dialogSettings = &settings;
    DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_OPTIONS), owner, OptionsDialogProc, 0);
    g_dialogSettings = nullptr;
}
