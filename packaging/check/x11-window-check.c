/*
 * x11-window-check PID TIMEOUT_SECONDS
 *
 * Waits on the X display in $DISPLAY for a mapped top-level window owned by
 * process PID (its _NET_WM_PID) that has been painted, reports it, and asks
 * it to close the way a window manager's close button does (a
 * WM_DELETE_WINDOW message), so the program goes through its normal exit.
 *
 * "Painted" means the window's pixels on screen show at least a few
 * different colours: before the program draws, an X window shows a single
 * colour (its background, or nothing at all).
 *
 * On success prints, one per line, "title=", "class=" (WM_CLASS as
 * instance.class), "size=WxH" and "colours=" and returns 0. Returns 1 with
 * the reason on stderr when no such window is painted within the timeout,
 * 2 on bad arguments or no display.
 *
 * Test helper for scripts/package-test.sh; not installed.
 */
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

enum { kPaintedColours = 4, kMaxColours = 64 };

static int IgnoreXError(Display *display, XErrorEvent *event)
{
    /* The window may vanish between listing it and reading it (BadWindow,
     * BadMatch); the next round looks again. */
    (void)display;
    (void)event;
    return 0;
}

static double Now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* Returns the window's _NET_WM_PID, or 0 when it has none. */
static unsigned long WindowPid(Display *display, Window window)
{
    Atom pidAtom = XInternAtom(display, "_NET_WM_PID", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char *data = NULL;
    unsigned long pid = 0;
    if (XGetWindowProperty(display, window, pidAtom, 0, 1, False, XA_CARDINAL, &type, &format, &count, &after,
                           &data) == Success
        && data != NULL && format == 32 && count == 1)
        pid = ((unsigned long *)data)[0]; /* 32-bit properties come back as longs */
    if (data)
        XFree(data);
    return pid;
}

/* Copies the window's title (UTF-8 _NET_WM_NAME, else WM_NAME) into out. */
static void WindowTitle(Display *display, Window window, char *out, size_t size)
{
    Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char *data = NULL;
    out[0] = '\0';
    if (XGetWindowProperty(display, window, netName, 0, 1024, False, utf8, &type, &format, &count, &after, &data)
            == Success
        && data != NULL && format == 8) {
        snprintf(out, size, "%.*s", (int)count, (const char *)data);
    } else {
        char *name = NULL;
        if (XFetchName(display, window, &name) && name) {
            snprintf(out, size, "%s", name);
            XFree(name);
        }
    }
    if (data)
        XFree(data);
}

/* Returns how many different pixel values the window shows, counting no
 * further than kMaxColours; 0 when its pixels cannot be read. */
static int CountColours(Display *display, Window window, int width, int height)
{
    XImage *image = XGetImage(display, window, 0, 0, (unsigned)width, (unsigned)height, AllPlanes, ZPixmap);
    if (image == NULL)
        return 0;
    unsigned long seen[kMaxColours];
    int distinct = 0;
    for (int y = 0; y < height && distinct < kMaxColours; ++y) {
        for (int x = 0; x < width && distinct < kMaxColours; ++x) {
            unsigned long pixel = XGetPixel(image, x, y);
            int known = 0;
            for (int i = 0; i < distinct && !known; ++i)
                known = seen[i] == pixel;
            if (!known)
                seen[distinct++] = pixel;
        }
    }
    XDestroyImage(image);
    return distinct;
}

static void AskToClose(Display *display, Window window)
{
    XEvent event;
    memset(&event, 0, sizeof event);
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = (long)XInternAtom(display, "WM_DELETE_WINDOW", False);
    event.xclient.data.l[1] = CurrentTime;
    XSendEvent(display, window, False, NoEventMask, &event);
    XFlush(display);
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s PID TIMEOUT_SECONDS\n", argv[0]);
        return 2;
    }
    const unsigned long pid = strtoul(argv[1], NULL, 10);
    const double timeout = strtod(argv[2], NULL);
    Display *display = XOpenDisplay(NULL);
    if (display == NULL || pid == 0 || timeout <= 0) {
        fprintf(stderr, "x11-window-check: %s\n", display ? "bad arguments" : "cannot open the display");
        return 2;
    }
    XSetErrorHandler(IgnoreXError);

    const double deadline = Now() + timeout;
    const char *reason = "no mapped window of that process";
    for (;;) {
        Window root, parent, *children = NULL;
        unsigned int count = 0;
        if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count)) {
            for (unsigned int i = 0; i < count; ++i) {
                XWindowAttributes attributes;
                if (!XGetWindowAttributes(display, children[i], &attributes) || attributes.map_state != IsViewable
                    || WindowPid(display, children[i]) != pid)
                    continue;
                reason = "its window was mapped but never painted";
                const int colours = CountColours(display, children[i], attributes.width, attributes.height);
                if (colours < kPaintedColours)
                    continue;

                char title[1024];
                WindowTitle(display, children[i], title, sizeof title);
                XClassHint hint = {NULL, NULL};
                XGetClassHint(display, children[i], &hint);
                printf("title=%s\nclass=%s.%s\nsize=%dx%d\ncolours=%d\n", title, hint.res_name ? hint.res_name : "",
                       hint.res_class ? hint.res_class : "", attributes.width, attributes.height, colours);
                fflush(stdout);
                if (hint.res_name)
                    XFree(hint.res_name);
                if (hint.res_class)
                    XFree(hint.res_class);
                AskToClose(display, children[i]);
                XFree(children);
                XCloseDisplay(display);
                return 0;
            }
            if (children)
                XFree(children);
        }
        if (Now() >= deadline)
            break;
        struct timespec pause = {0, 50 * 1000 * 1000};
        nanosleep(&pause, NULL);
    }
    fprintf(stderr, "x11-window-check: after %.1f s: %s (pid %lu)\n", timeout, reason, pid);
    XCloseDisplay(display);
    return 1;
}
