/* Asks a top-level window to close as a window manager does: a
 * WM_PROTOCOLS client message carrying WM_DELETE_WINDOW.
 *   wm_delete WINDOW_ID
 * Or lists the managed top-level windows on screen that have a title, one a line:
 * the id in decimal, a tab, width x height, a tab and the title.
 *   wm_delete --list
 */
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int list_windows(Display *display)
{
    Window root_return, parent_return, *children = NULL;
    unsigned int count = 0;
    if (!XQueryTree(display, DefaultRootWindow(display), &root_return, &parent_return, &children,
                    &count))
        return 1;
    for (unsigned int i = 0; i < count; ++i) {
        XWindowAttributes attributes;
        /* Popups (menus, combo lists, tooltips) are no windows a window
         * manager manages or closes. */
        if (!XGetWindowAttributes(display, children[i], &attributes) ||
            attributes.map_state != IsViewable || attributes.override_redirect)
            continue;
        XTextProperty name;
        if (!XGetWMName(display, children[i], &name) || !name.value)
            continue;
        if (name.nitems > 0)
            printf("%lu\t%dx%d\t%s\n", (unsigned long)children[i], attributes.width,
                   attributes.height, (const char *)name.value);
        XFree(name.value);
    }
    if (children)
        XFree(children);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s WINDOW_ID | --list\n", argv[0]);
        return 2;
    }
    Display *display = XOpenDisplay(NULL);
    if (!display) {
        fprintf(stderr, "cannot open the display\n");
        return 1;
    }
    if (strcmp(argv[1], "--list") == 0) {
        const int status = list_windows(display);
        XCloseDisplay(display);
        return status;
    }
    const Window window = (Window)strtoul(argv[1], NULL, 0);
    XEvent event = {0};
    event.xclient.type = ClientMessage;
    event.xclient.window = window;
    event.xclient.message_type = XInternAtom(display, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = (long)XInternAtom(display, "WM_DELETE_WINDOW", False);
    event.xclient.data.l[1] = CurrentTime;
    const Status sent = XSendEvent(display, window, False, NoEventMask, &event);
    XSync(display, False);
    XCloseDisplay(display);
    return sent ? 0 : 1;
}
