/* Makes a shortcut in the user's Startup folder through the shell's own link object
 * (IShellLinkW and IPersistFile::Save), as an installer does: "make_startup_link NAME TARGET"
 * prints "made" or the step that failed. Built with x86_64-w64-mingw32-gcc by the startup
 * manager's Wine check. */
#define COBJMACROS
#include <windows.h>
#include <shlobj.h>
#include <stdio.h>
#include <wchar.h>

int wmain(int argc, wchar_t **argv) {
    wchar_t folder[MAX_PATH], path[MAX_PATH];
    IShellLinkW *link = NULL;
    IPersistFile *file = NULL;
    HRESULT hr;
    if (argc != 3) {
        fprintf(stderr, "usage: make_startup_link NAME TARGET\n");
        return 2;
    }
    CoInitialize(NULL);
    if (FAILED(SHGetFolderPathW(NULL, CSIDL_STARTUP | CSIDL_FLAG_CREATE, NULL, 0, folder))) {
        printf("no Startup folder\n");
        return 1;
    }
    swprintf(path, MAX_PATH, L"%ls\\%ls.lnk", folder, argv[1]);
    hr = CoCreateInstance(&CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, &IID_IShellLinkW, (void **)&link);
    if (FAILED(hr)) {
        printf("CoCreateInstance %08lx\n", (unsigned long)hr);
        return 1;
    }
    IShellLinkW_SetPath(link, argv[2]);
    hr = IShellLinkW_QueryInterface(link, &IID_IPersistFile, (void **)&file);
    if (SUCCEEDED(hr)) hr = IPersistFile_Save(file, path, TRUE);
    printf(SUCCEEDED(hr) ? "made\n" : "Save %08lx\n", (unsigned long)hr);
    if (file) IPersistFile_Release(file);
    IShellLinkW_Release(link);
    CoUninitialize();
    return SUCCEEDED(hr) ? 0 : 1;
}
