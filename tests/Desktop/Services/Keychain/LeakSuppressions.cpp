// LeakSanitizer reads these when it starts, whatever the environment says. Each item that a
// libsecret search returns is a D-Bus proxy whose asynchronous set-up leaves a few small blocks
// inside GIO after the item itself is freed: a bounded amount per item, inside the libraries.
// Our own objects are allocated from our frames and are still reported.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:secret_item_new_for_dbus_path\n";
}
