// uitree: prints the UI Automation tree of every visible Qt window on the
// desktop, one element a line, so that scripts/test-windows-gui can find a
// widget by its object name under wine and read what it shows:
//
//   <automation id> TAB <left> <top> <width> <height> TAB <name> TAB <value>
//
// Qt builds the automation id from the object names of the widget and its
// parents, for example MainWindow.centralWidget.BtnTbarAbout. Line breaks in
// texts are printed as \n. No Qt: it only talks to UIAutomationCore, loaded
// at run time because mingw-w64 has no import library for it.
#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <string>

namespace {

// The flat client API of UIAutomationCore.dll, as its documentation gives it
// (mingw-w64's headers leave it out).
using Node = void *;
enum { ConditionTrue = 0, TreeScopeElement = 1, ElementModeFull = 1 };
enum { AutomationIdProperty = 30011, BoundingRectangleProperty = 30001, NameProperty = 30005, ValueProperty = 30045 };
struct UiaCondition
{
    int type;
};
struct UiaCacheRequest
{
    UiaCondition *viewCondition;
    int scope;
    int *properties;
    int propertyCount;
    int *patterns;
    int patternCount;
    int elementMode;
};
struct UiaFindParams
{
    int maxDepth;
    BOOL findFirst;
    BOOL excludeRoot;
    UiaCondition *findCondition;
};
using NodeFromHandle = HRESULT(WINAPI *)(HWND, Node *);
using Find = HRESULT(WINAPI *)(Node, UiaFindParams *, UiaCacheRequest *, SAFEARRAY **, SAFEARRAY **, SAFEARRAY **);
using NodeRelease = BOOL(WINAPI *)(Node);

template <typename F>
F resolve(HMODULE module, const char *name)
{
    return reinterpret_cast<F>(reinterpret_cast<void *>(GetProcAddress(module, name)));
}

NodeFromHandle nodeFromHandle;
Find find;
NodeRelease nodeRelease;

std::string utf8(const wchar_t *text, int length)
{
    std::string out;
    for (int i = 0; i < length; ++i) {
        if (text[i] == L'\n')
            out += "\\n";
        else if (text[i] == L'\t' || text[i] == L'\r')
            out += ' ';
        else {
            char buf[8];
            const int n = WideCharToMultiByte(CP_UTF8, 0, &text[i], 1, buf, sizeof buf, nullptr, nullptr);
            // A surrogate pair is converted as a whole.
            if (n <= 0 && i + 1 < length) {
                const int m = WideCharToMultiByte(CP_UTF8, 0, &text[i], 2, buf, sizeof buf, nullptr, nullptr);
                out.append(buf, size_t(m > 0 ? m : 0));
                ++i;
            } else {
                out.append(buf, size_t(n > 0 ? n : 0));
            }
        }
    }
    return out;
}

std::string show(const VARIANT &v)
{
    if (v.vt == VT_BSTR && v.bstrVal)
        return utf8(v.bstrVal, int(SysStringLen(v.bstrVal)));
    if (v.vt == (VT_R8 | VT_ARRAY) && v.parray) {
        std::string out;
        LONG lo = 0, hi = -1;
        SafeArrayGetLBound(v.parray, 1, &lo);
        SafeArrayGetUBound(v.parray, 1, &hi);
        for (LONG i = lo; i <= hi; ++i) {
            double d = 0;
            SafeArrayGetElement(v.parray, &i, &d);
            out += (i > lo ? " " : "") + std::to_string(long(d));
        }
        return out;
    }
    return {};
}

void dump(HWND window)
{
    Node root = nullptr;
    if (FAILED(nodeFromHandle(window, &root)) || !root)
        return;
    UiaCondition all{ConditionTrue};
    int properties[] = {AutomationIdProperty, BoundingRectangleProperty, NameProperty, ValueProperty};
    const int columns = 1 + int(sizeof properties / sizeof *properties); // the node comes first
    UiaCacheRequest request{&all, TreeScopeElement, properties, columns - 1, nullptr, 0, ElementModeFull};
    UiaFindParams params{-1, FALSE, FALSE, &all};
    SAFEARRAY *data = nullptr, *offsets = nullptr, *trees = nullptr;
    if (SUCCEEDED(find(root, &params, &request, &data, &offsets, &trees)) && data) {
        LONG last = -1;
        SafeArrayGetUBound(data, 1, &last);
        for (LONG element = 0; element <= last; ++element) {
            std::string line;
            for (LONG column = 1; column < columns; ++column) {
                LONG at[2] = {element, column};
                VARIANT v;
                VariantInit(&v);
                SafeArrayGetElement(data, at, &v);
                line += (column > 1 ? "\t" : "") + show(v);
                VariantClear(&v);
            }
            std::printf("%s\n", line.c_str());
        }
    }
    for (SAFEARRAY *a : {data, offsets, trees})
        if (a)
            SafeArrayDestroy(a);
    nodeRelease(root);
}

BOOL CALLBACK visit(HWND window, LPARAM)
{
    wchar_t cls[128];
    if (IsWindowVisible(window) && GetClassNameW(window, cls, 128) && wcsstr(cls, L"QWindow"))
        dump(window);
    return TRUE;
}

} // namespace

int main()
{
    HMODULE uia = LoadLibraryW(L"uiautomationcore.dll");
    if (!uia) {
        std::fprintf(stderr, "uitree: no UIAutomationCore\n");
        return 1;
    }
    nodeFromHandle = resolve<NodeFromHandle>(uia, "UiaNodeFromHandle");
    find = resolve<Find>(uia, "UiaFind");
    nodeRelease = resolve<NodeRelease>(uia, "UiaNodeRelease");
    if (!nodeFromHandle || !find || !nodeRelease) {
        std::fprintf(stderr, "uitree: UIAutomationCore lacks the client calls\n");
        return 1;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    EnumWindows(visit, 0);
    CoUninitialize();
    return 0;
}
