#include "report/archive_step.hpp"

#include "report/archive.hpp"
#include "report/system_facts.hpp"
#include "util/i18n.hpp"
#include "util/message_box.hpp"
#include "util/own.hpp"

#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <thread>

namespace archive_step {

namespace {

constexpr int kCancel = 1, kDone = 2;

struct job {
  archive::request req;
  std::string name;
  system_facts::run_info run;
  archive::progress prog;
  archive::result res;
  std::atomic<bool> finished{false};
};

const char *text(const char *chinese, bool translated) { return translated ? _(chinese) : chinese; }

// Why the archive was not made, for the box (translated) or for standard error.
std::string reason(const archive::result &r, const std::string &dir, bool translated) {
  char buf[1024];
  const char *err = std::strerror(r.error);
  switch (r.why) {
  case archive::failure::disk_full:
    return text(N_("磁盘已满，压缩包没有保存。"), translated);
  case archive::failure::folder_unwritable:
    std::snprintf(buf, sizeof buf, text(N_("无法在文件夹 %s 中创建文件：%s"), translated),
                  dir.c_str(), err);
    return buf;
  case archive::failure::log_missing:
    std::snprintf(buf, sizeof buf, text(N_("日志文件 %s 已不存在。"), translated), r.file.c_str());
    return buf;
  case archive::failure::log_changed:
    std::snprintf(buf, sizeof buf, text(N_("日志文件 %s 在打包时被改动。"), translated),
                  r.file.c_str());
    return buf;
  case archive::failure::read_failed:
    std::snprintf(buf, sizeof buf, text(N_("无法读取日志文件 %s：%s"), translated), r.file.c_str(),
                  err);
    return buf;
  case archive::failure::no_memory:
    return text(N_("内存不足。"), translated);
  default:
    std::snprintf(buf, sizeof buf, text(N_("无法写入压缩包：%s"), translated), err);
    return buf;
  }
}

std::string display_backend() {
  GdkDisplay *display = gdk_display_get_default();
  if (!display)
    return {};
  const std::string type = G_OBJECT_TYPE_NAME(display);
  if (type.find("X11") != std::string::npos)
    return "X11";
  if (type.find("Wayland") != std::string::npos)
    return "Wayland";
  return type;
}

gboolean watch(gpointer data) {
  auto *dialog = static_cast<GtkWidget *>(data);
  auto *j = static_cast<job *>(g_object_get_data(G_OBJECT(dialog), "job"));
  auto *bar = static_cast<GtkWidget *>(g_object_get_data(G_OBJECT(dialog), "bar"));
  gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(bar), j->prog.fraction());
  if (!j->finished.load())
    return G_SOURCE_CONTINUE;
  gtk_dialog_response(GTK_DIALOG(dialog), kDone);
  return G_SOURCE_REMOVE;
}

// Makes the archive on a thread of its own while a progress box keeps the window alive.
void run_job(GtkWidget *near, job &j) {
  GtkWidget *top = near ? gtk_widget_get_toplevel(near) : nullptr;
  GtkWidget *dialog = gtk_dialog_new_with_buttons(
      _("打包日志"), GTK_IS_WINDOW(top) ? GTK_WINDOW(top) : nullptr,
      static_cast<GtkDialogFlags>(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT), _("取消"),
      kCancel, nullptr);
  gtk_window_set_default_size(GTK_WINDOW(dialog), 420, -1);
  GtkWidget *box = gtk_dialog_get_content_area(GTK_DIALOG(dialog));
  gtk_container_set_border_width(GTK_CONTAINER(box), 12);
  gtk_box_set_spacing(GTK_BOX(box), 10);
  gtk_box_pack_start(GTK_BOX(box), gtk_label_new(_("正在打包日志...")), FALSE, FALSE, 0);
  GtkWidget *bar = gtk_progress_bar_new();
  gtk_box_pack_start(GTK_BOX(box), bar, FALSE, FALSE, 0);
  g_object_set_data(G_OBJECT(dialog), "job", &j);
  g_object_set_data(G_OBJECT(dialog), "bar", bar);

  std::thread worker([&j] {
    j.req.system_txt = system_facts::collect(j.run);
    j.res = archive::make(j.req, j.name, j.prog);
    j.finished = true;
  });
  const guint source = g_timeout_add(100, watch, dialog);
  g_object_add_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer *>(&dialog));
  gtk_widget_show_all(dialog);
  int response = gtk_dialog_run(GTK_DIALOG(dialog));
  if (response != kDone)
    j.prog.cancel = true;
  worker.join();
  // The watch removes itself only when it gave the kDone answer.
  if (response != kDone)
    g_source_remove(source);
  if (dialog) {
    g_object_remove_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer *>(&dialog));
    gtk_widget_destroy(dialog);
  }
}

// Opens the archive's folder; where nothing can open it, a box names the archive.
void open_folder(const std::string &path) {
  own::gchars dir(g_path_get_dirname(path.c_str()));
  own::gchars uri(g_filename_to_uri(dir.get(), nullptr, nullptr));
  GError *error = nullptr;
  if (uri && g_app_info_launch_default_for_uri(uri.get(), nullptr, &error))
    return;
  std::fprintf(stderr, "警告：无法打开文件夹 %s：%s\n", dir.get(),
               error ? error->message : "bad path");
  g_clear_error(&error);
  GtkWidget *box = message_box::create(nullptr, GTK_MESSAGE_INFO, _("打包日志"),
                                       _("压缩包已保存："), path, false);
  message_box::run(box, _("关闭"), nullptr);
}

void shown(GObject *bus, GAsyncResult *result, gpointer data) {
  std::unique_ptr<std::string> path(static_cast<std::string *>(data));
  GError *error = nullptr;
  GVariant *reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(bus), result, &error);
  if (reply) {
    g_variant_unref(reply);
    return;
  }
  std::fprintf(stderr, "警告：文件管理器没有显示压缩包（%s），改为打开文件夹\n", error->message);
  g_error_free(error);
  open_folder(*path);
}

// Asks the file manager to show the archive; without a session bus the folder is opened.
// A bus is looked for only where one exists: GIO would otherwise start one of its own.
void show_in_file_manager(const std::string &path) {
  const char *address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
  const char *runtime = std::getenv("XDG_RUNTIME_DIR");
  struct stat st;
  const bool has_bus =
      (address && *address) || (runtime && stat((std::string(runtime) + "/bus").c_str(), &st) == 0);
  GDBusConnection *bus = has_bus ? g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr) : nullptr;
  own::gchars uri(g_filename_to_uri(path.c_str(), nullptr, nullptr));
  if (!bus || !uri) {
    if (bus)
      g_object_unref(bus);
    open_folder(path);
    return;
  }
  const gchar *uris[] = {uri.get(), nullptr};
  g_dbus_connection_call(bus, "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                         "org.freedesktop.FileManager1", "ShowItems",
                         g_variant_new("(^ass)", uris, ""), nullptr, G_DBUS_CALL_FLAGS_NONE, 5000,
                         nullptr, shown, new std::string(path));
  g_object_unref(bus);
}

} // namespace

void after_run(GtkWidget *near, const char *log_file, system_facts::run_info run) {
  own::gchars dir(g_path_get_dirname(log_file));
  own::gchars prefix(g_path_get_basename(log_file));
  auto j = std::make_unique<job>();
  j->req.dir = dir.get();
  j->req.files = archive::log_files(j->req.dir, prefix.get());
  if (j->req.files.empty())
    return;
  j->req.who = redact::current_identity();
  j->req.when = std::time(nullptr);
  j->name = archive::archive_name(prefix.get(), j->req.when);
  run.display_backend = display_backend();
  j->run = std::move(run);

  GtkWidget *ask = message_box::create(
      near, GTK_MESSAGE_QUESTION, _("打包日志"),
      _("调试运行已结束。要把日志和系统信息打成一个可以发送的压缩包吗？"),
      std::string(_("压缩包放在日志旁边：")) + j->req.dir + "/" + j->name + "\n" +
          _("用户名、主目录和主机名会被换成 «USER»、«HOME»、«HOST»，原日志不变。"),
      false);
  if (!message_box::run(ask, _("不用"), _("打包")))
    return;

  run_job(near, *j);
  if (j->res.why == archive::failure::cancelled)
    return;
  if (j->res.why != archive::failure::none) {
    std::fprintf(stderr, "错误：无法打包日志：%s\n", reason(j->res, j->req.dir, false).c_str());
    GtkWidget *box = message_box::create(near, GTK_MESSAGE_ERROR, _("错误"), _("无法打包日志"),
                                         reason(j->res, j->req.dir, true), false);
    message_box::run(box, _("关闭"), nullptr);
    return;
  }
  std::printf("archive: %s\n", j->res.path.c_str());
  std::fflush(stdout);
  show_in_file_manager(j->res.path);
}

} // namespace archive_step
