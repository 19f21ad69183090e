// LeakSanitizer reads these when it starts, whatever the environment says. Qt Quick 6.4 with the
// software scene graph keeps the textures of images it drew (and their images and raster paint
// engines) after the widget is gone: a bounded amount per distinct image, inside Qt. Qt is built
// without frame pointers, so those stacks often end inside Qt; what Qt allocated for itself and
// still holds is left to Qt. Our own objects are allocated from our frames and are still reported.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:QSGRenderContext::textureForFactory\n"
           "leak:QQuickPixmap::load\n"
           "leak:libQt6Gui.so\n"
           "leak:libQt6Quick.so\n"
           "leak:libQt6Core.so\n";
}
