import ctypes
import sys
import time

lib = ctypes.CDLL("libtallywise.so.8")
lib.tw_version.restype = ctypes.c_char_p
lib.tw_status_string.restype = ctypes.c_char_p
handle = ctypes.c_void_p
for name, args in [("tw_options_new", [ctypes.c_char_p, ctypes.POINTER(handle)]),
                   ("tw_options_free", [handle]), ("tw_configure", [handle]), ("tw_start", []),
                   ("tw_params_new", [ctypes.POINTER(handle)]), ("tw_params_free", [handle]),
                   ("tw_params_add_string", [handle, ctypes.c_char_p, ctypes.c_char_p]),
                   ("tw_params_add_int", [handle, ctypes.c_char_p, ctypes.c_int64]),
                   ("tw_log_event", [ctypes.c_char_p, handle]),
                   ("tw_remove_log_event_listener", [ctypes.c_uint64]),
                   ("tw_wait_until_pending_calls_stored", [ctypes.c_uint32])]:
    getattr(lib, name).argtypes = args


def check(status):
    if status != 0:
        sys.exit(lib.tw_status_string(status).decode())


print("Tallywise", lib.tw_version().decode())
options = handle()
check(lib.tw_options_new(b"1:1234567890:ios:0a1b2c3d4e5f", ctypes.byref(options)))
check(lib.tw_configure(options))
check(lib.tw_options_free(options))

# Runs on the library's queue for every event it stored; keep the object alive while added.
@ctypes.CFUNCTYPE(None, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_void_p)
def on_event(origin, name, parameters, user_data):
    print("accepted", origin.decode(), name.decode(), parameters.decode(), flush=True)


token = ctypes.c_uint64()
check(lib.tw_add_log_event_listener(on_event, None, ctypes.byref(token)))
check(lib.tw_start())

params = handle()
check(lib.tw_params_new(ctypes.byref(params)))
check(lib.tw_params_add_int(params, b"level", 5))
check(lib.tw_params_add_string(params, b"character", "mage \N{CROSSED SWORDS}".encode()))
check(lib.tw_log_event(b"level_up", params))
check(lib.tw_params_free(params))

check(lib.tw_wait_until_pending_calls_stored(10000))
check(lib.tw_remove_log_event_listener(token))
time.sleep(5)  # as an app would stay: this run's events are uploaded now
