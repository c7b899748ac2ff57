#include "app/dbus_notifier_posix.h"

#include <dbus/dbus.h>

#include <cstdlib>

namespace kp {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr int kCallTimeoutMs = 500;

}  // namespace

struct DbusNotifier::Bus {
  DBusConnection* connection = nullptr;
  dbus_uint32_t latest = 0;  // id of the latest notification shown
  ~Bus() {
    if (connection != nullptr) {
      dbus_connection_close(connection);
      dbus_connection_unref(connection);
    }
  }
};

std::unique_ptr<DbusNotifier> DbusNotifier::Open() {
  const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  if (address == nullptr || address[0] == '\0') return nullptr;
  DBusError error;
  dbus_error_init(&error);
  auto bus = std::make_unique<Bus>();
  bus->connection = dbus_connection_open_private(address, &error);
  if (bus->connection == nullptr || !dbus_bus_register(bus->connection, &error)) {
    dbus_error_free(&error);
    return nullptr;
  }
  dbus_connection_set_exit_on_disconnect(bus->connection, FALSE);
  dbus_bus_add_match(bus->connection,
                     "type='signal',interface='org.freedesktop.Notifications',member='ActionInvoked'", &error);
  dbus_error_free(&error);
  return std::unique_ptr<DbusNotifier>(new DbusNotifier(std::move(bus)));
}

DbusNotifier::DbusNotifier(std::unique_ptr<Bus> bus) : bus_(std::move(bus)) {}

DbusNotifier::~DbusNotifier() = default;

int DbusNotifier::Fd() const {
  int fd = -1;
  dbus_connection_get_unix_fd(bus_->connection, &fd);
  return fd;
}

bool DbusNotifier::Show(const std::string& title, const std::string& text) {
  DBusMessage* call = dbus_message_new_method_call(kService, kPath, kService, "Notify");
  if (call == nullptr) return false;
  const char* app = "Kaptora";
  const char* icon = "";
  const char* summary = title.c_str();
  const char* body = text.c_str();
  const char* actions[] = {"default", "Open"};
  const char** actionList = actions;
  dbus_uint32_t replaces = 0;
  dbus_int32_t timeout = -1;
  DBusMessageIter args, hints;
  dbus_message_iter_init_append(call, &args);
  dbus_message_append_args(call, DBUS_TYPE_STRING, &app, DBUS_TYPE_UINT32, &replaces, DBUS_TYPE_STRING, &icon,
                           DBUS_TYPE_STRING, &summary, DBUS_TYPE_STRING, &body, DBUS_TYPE_ARRAY, DBUS_TYPE_STRING,
                           &actionList, 2, DBUS_TYPE_INVALID);
  dbus_message_iter_init_append(call, &args);
  dbus_message_iter_open_container(&args, DBUS_TYPE_ARRAY, "{sv}", &hints);
  dbus_message_iter_close_container(&args, &hints);
  dbus_message_iter_append_basic(&args, DBUS_TYPE_INT32, &timeout);

  DBusError error;
  dbus_error_init(&error);
  DBusMessage* reply =
      dbus_connection_send_with_reply_and_block(bus_->connection, call, kCallTimeoutMs, &error);
  dbus_message_unref(call);
  bool shown = false;
  if (reply != nullptr) {
    dbus_uint32_t id = 0;
    if (dbus_message_get_args(reply, &error, DBUS_TYPE_UINT32, &id, DBUS_TYPE_INVALID)) {
      bus_->latest = id;
      shown = true;
    }
    dbus_message_unref(reply);
  }
  dbus_error_free(&error);
  return shown;
}

bool DbusNotifier::TakeClick() {
  bool clicked = false;
  dbus_connection_read_write(bus_->connection, 0);
  while (DBusMessage* message = dbus_connection_pop_message(bus_->connection)) {
    if (dbus_message_is_signal(message, kService, "ActionInvoked")) {
      dbus_uint32_t id = 0;
      const char* action = nullptr;
      DBusError error;
      dbus_error_init(&error);
      if (dbus_message_get_args(message, &error, DBUS_TYPE_UINT32, &id, DBUS_TYPE_STRING, &action,
                                DBUS_TYPE_INVALID) &&
          id == bus_->latest && bus_->latest != 0) {
        clicked = true;
      }
      dbus_error_free(&error);
    }
    dbus_message_unref(message);
  }
  return clicked;
}

}  // namespace kp
