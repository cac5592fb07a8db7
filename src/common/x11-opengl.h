#pragma once

// Nothing in Frostgauge draws with OpenGL: the widgets and Qwt paint with the
// raster engine. On X11, though, Qt's xcb platform loads its GLX integration
// at start-up and with it the driver's renderer (Mesa's with LLVM: some 40 MiB
// resident and about half the start-up time). Called before the application
// object is made; a user's own QT_XCB_GL_INTEGRATION (xcb_glx, xcb_egl) wins.
// Other platforms (Wayland, offscreen) do not read the variable.

#include <QByteArray>

inline void leaveOpenGlUnloaded()
{
    if (!qEnvironmentVariableIsSet("QT_XCB_GL_INTEGRATION"))
        qputenv("QT_XCB_GL_INTEGRATION", "none");
}
