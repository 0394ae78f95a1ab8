#include <windows.h>
#include <stdio.h>
/* Prints "long<TAB>short" for each path given, as GetShortPathNameW reports it. */
int wmain(int argc, wchar_t **argv) {
  for (int i = 1; i < argc; i++) {
    wchar_t buf[1024];
    DWORD n = GetShortPathNameW(argv[i], buf, 1024);
    char a[4096], b[4096];
    WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, a, sizeof a, NULL, NULL);
    if (!n) { printf("%s\t!%lu\n", a, GetLastError()); continue; }
    WideCharToMultiByte(CP_UTF8, 0, buf, -1, b, sizeof b, NULL, NULL);
    printf("%s\t%s\n", a, b);
  }
  return 0;
}
