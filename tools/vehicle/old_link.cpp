// The negative control of the load check (tools/vehicle.sh): a module linked
// the way the wheels once were, against the tool root's own C library with
// libstdc++ static, which glibc 2.31's loader must turn away (std::thread
// names pthread_create of glibc 2.34).
#include <Python.h>

#include <thread>

static PyModuleDef old_link_module = {PyModuleDef_HEAD_INIT, "old_link", nullptr, -1, nullptr,
                                      nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_old_link() {
    std::thread([] {}).join();
    return PyModule_Create(&old_link_module);
}
