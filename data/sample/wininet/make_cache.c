/* Fills the URL cache, the URL history and the cookie store of a Wine prefix through Wine's
 * own wininet ("make"), lists what wininet sees in them ("list": every cache entry's source
 * URL, then the cookies of the sample's sites), stores one new page in the cache the way a
 * browser does ("store URL": prints "stored" or "store failed" with the step and the error),
 * or stores many pages and their visits ("fill COUNT TAG").
 * Built with x86_64-w64-mingw32-gcc by
 * scripts/make-ie-sample.sh and by the cleaner's Wine check. */
#include <windows.h>
#include <wininet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static const char *const pages[] = {
    "http://www.example.com/index.html",
    "http://www.example.com/logo.png",
    "http://www.winehq.org/news",
};
static const char *const sites[] = {"http://www.example.com/", "http://www.winehq.org/"};

static int add_page(const char *url, const char *body) {
    char file[MAX_PATH];
    FILETIME never = {0, 0};
    DWORD written;
    HANDLE h;
    if (!CreateUrlCacheEntryA(url, 0, "htm", file, 0)) return 0;
    h = CreateFileA(file, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) return 0;
    WriteFile(h, body, (DWORD)strlen(body), &written, NULL);
    CloseHandle(h);
    return CommitUrlCacheEntryA(url, file, never, never, NORMAL_CACHE_ENTRY, NULL, 0, NULL, NULL);
}

static int make(void) {
    FILETIME never = {0, 0};
    int ok = 1;
    size_t i;
    for (i = 0; i < sizeof pages / sizeof pages[0]; i++) ok &= add_page(pages[i], "<html>sample page</html>\r\n");
    /* A visited page, as the browser records it in the history container. */
    ok &= CommitUrlCacheEntryA("Visited: root@http://www.example.com/index.html", NULL, never, never,
                               URLHISTORY_CACHE_ENTRY, NULL, 0, NULL, NULL);
    ok &= CommitUrlCacheEntryA("Visited: root@http://www.winehq.org/news", NULL, never, never,
                               URLHISTORY_CACHE_ENTRY, NULL, 0, NULL, NULL);
    ok &= InternetSetCookieA(sites[0], "session", "abc123; expires=Sat, 01-Jan-2050 00:00:00 GMT");
    ok &= InternetSetCookieA(sites[1], "visitor", "wine; expires=Sat, 01-Jan-2050 00:00:00 GMT");
    printf(ok ? "made\n" : "failed\n");
    return ok ? 0 : 1;
}

static int list(void) {
    char buffer[8192], cookie[4096];
    INTERNET_CACHE_ENTRY_INFOA *info = (INTERNET_CACHE_ENTRY_INFOA *)buffer;
    DWORD size = sizeof buffer;
    HANDLE find = FindFirstUrlCacheEntryA(NULL, info, &size);
    size_t i;
    if (find) {
        do {
            printf("entry %s\n", info->lpszSourceUrlName);
            size = sizeof buffer;
        } while (FindNextUrlCacheEntryA(find, info, &size));
        FindCloseUrlCache(find);
    }
    for (i = 0; i < sizeof sites / sizeof sites[0]; i++) {
        size = sizeof cookie;
        if (InternetGetCookieA(sites[i], NULL, cookie, &size)) printf("cookie %s %s\n", sites[i], cookie);
    }
    printf("end\n");
    return 0;
}

static int store(const char *url) {
    char file[MAX_PATH];
    const char body[] = "<html>stored after a clean</html>\r\n";
    FILETIME never = {0, 0};
    DWORD written = 0;
    HANDLE h;
    if (!CreateUrlCacheEntryA(url, 0, "htm", file, 0)) {
        printf("store failed: CreateUrlCacheEntry %lu\n", GetLastError());
        return 1;
    }
    h = CreateFileA(file, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL);
    if (h == INVALID_HANDLE_VALUE) {
        printf("store failed: CreateFile %lu\n", GetLastError());
        return 1;
    }
    if (!WriteFile(h, body, sizeof body - 1, &written, NULL) || written != sizeof body - 1) {
        printf("store failed: WriteFile %lu\n", GetLastError());
        CloseHandle(h);
        return 1;
    }
    CloseHandle(h);
    if (!CommitUrlCacheEntryA(url, file, never, never, NORMAL_CACHE_ENTRY, NULL, 0, NULL, NULL)) {
        printf("store failed: CommitUrlCacheEntry %lu\n", GetLastError());
        return 1;
    }
    printf("stored\n");
    return 0;
}

/* Stores `count` pages under http://fill.example/<tag>/ and records a visit of each, as a
 * browsing session does: prints "filled" or where wininet refused. */
static int fill(int count, const char *tag) {
    char url[512], visited[600];
    FILETIME never = {0, 0};
    int i;
    for (i = 0; i < count; i++) {
        snprintf(url, sizeof url, "http://fill.example/%s/page%d.html", tag, i);
        if (!add_page(url, "<html>a page of a browsing session</html>\r\n")) {
            printf("fill failed at page %d: %lu\n", i, GetLastError());
            return 1;
        }
        snprintf(visited, sizeof visited, "Visited: root@%s", url);
        if (!CommitUrlCacheEntryA(visited, NULL, never, never, URLHISTORY_CACHE_ENTRY, NULL, 0, NULL, NULL)) {
            printf("fill failed at visit %d: %lu\n", i, GetLastError());
            return 1;
        }
    }
    printf("filled\n");
    return 0;
}

int main(int argc, char **argv) {
    if (argc > 1 && !strcmp(argv[1], "make")) return make();
    if (argc > 1 && !strcmp(argv[1], "list")) return list();
    if (argc > 2 && !strcmp(argv[1], "store")) return store(argv[2]);
    if (argc > 3 && !strcmp(argv[1], "fill")) return fill(atoi(argv[2]), argv[3]);
    fprintf(stderr, "usage: make_cache make|list|store URL|fill COUNT TAG\n");
    return 2;
}
