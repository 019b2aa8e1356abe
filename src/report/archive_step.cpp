#include "report/archive_step.hpp"

#include "report/archive.hpp"
#include "report/system_facts.hpp"
#include "util/i18n.hpp"
#include "util/message_box.hpp"
#include "util/own.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace archive_step {

namespace {

constexpr int kCancel = 1, kDone = 2;

// Who has the job: the worker while it runs; the box once it is done; nobody after "取消",
// and the worker then removes what it made.
enum class state { running, done, abandoned };

struct job {
  archive::request req;
  std::string name;
  system_facts::run_info run;
  archive::progress prog;
  archive::result res;
  std::atomic<state> now{state::running};
};

// Jobs given up while their worker still runs, for the end of the process.
std::mutex abandoned_lock;
std::vector<std::shared_ptr<job>> *abandoned = nullptr;

// At the end of the process a worker that still runs leaves nothing behind: its probe is
// killed and its hidden file removed.
void clean_up_abandoned() {
  std::lock_guard<std::mutex> hold(abandoned_lock);
  system_facts::stop_probes();
  for (const std::shared_ptr<job> &j : *abandoned) {
    std::lock_guard<std::mutex> temp(j->prog.temp_lock);
    if (!j->prog.temp.empty())
      unlink(j->prog.temp.c_str());
  }
}

void abandon(const std::shared_ptr<job> &j) {
  std::lock_guard<std::mutex> hold(abandoned_lock);
  if (!abandoned) {
    abandoned = new std::vector<std::shared_ptr<job>>;
    std::atexit(clean_up_abandoned);
  }
  abandoned->push_back(j);
}

void forget(const std::shared_ptr<job> &j) {
  std::lock_guard<std::mutex> hold(abandoned_lock);
  if (abandoned)
    abandoned->erase(std::remove(abandoned->begin(), abandoned->end(), j), abandoned->end());
}

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
  case archive::failure::name_taken:
    std::snprintf(
        buf, sizeof buf,
        r.others
            ? text(N_("压缩包的名字 %s 已被另一个用户的文件占用，后面的 %d 个编号也都被占用。"),
                   translated)
            : text(N_("压缩包的名字 %s 已被占用，后面的 %d 个编号也都被占用。"), translated),
        r.file.c_str(), archive::kNames - 1);
    return buf;
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
  if (j->now.load() != state::done)
    return G_SOURCE_CONTINUE;
  gtk_dialog_response(GTK_DIALOG(dialog), kDone);
  return G_SOURCE_REMOVE;
}

// The worker: the facts, then the archive. Given up, it removes what it made.
void work(const std::shared_ptr<job> &j) {
  j->req.system_txt = system_facts::collect(j->run, &j->prog.cancel);
  if (j->prog.cancel.load())
    j->res.why = archive::failure::cancelled;
  else
    j->res = archive::make(j->req, j->name, j->prog);
  state expected = state::running;
  if (j->now.compare_exchange_strong(expected, state::done))
    return;
  if (j->res.why == archive::failure::none)
    unlink(j->res.path.c_str());
  forget(j);
}

// Makes the archive on a thread of its own while a progress box keeps the window alive.
// "取消" closes the box at once: the worker is left to stop and clean up on its own, and
// false is returned; the job's result is then the worker's alone.
bool run_job(GtkWidget *near, const std::shared_ptr<job> &j) {
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
  g_object_set_data(G_OBJECT(dialog), "job", j.get());
  g_object_set_data(G_OBJECT(dialog), "bar", bar);

  std::thread worker(work, j);
  const guint source = g_timeout_add(100, watch, dialog);
  g_object_add_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer *>(&dialog));
  gtk_widget_show_all(dialog);
  const int response = gtk_dialog_run(GTK_DIALOG(dialog));
  // The watch removes itself only when it gave the kDone answer.
  if (response != kDone)
    g_source_remove(source);
  if (dialog) {
    g_object_remove_weak_pointer(G_OBJECT(dialog), reinterpret_cast<gpointer *>(&dialog));
    gtk_widget_destroy(dialog);
  }
  state expected = state::running;
  if (response != kDone) {
    j->prog.cancel = true;
    abandon(j);
    if (j->now.compare_exchange_strong(expected, state::abandoned)) {
      worker.detach();
      return false;
    }
    forget(j);
    worker.join(); // done: the worker is returning
    // Done just before "取消" was read: cancelled all the same, and nothing is left.
    if (j->res.why == archive::failure::none)
      unlink(j->res.path.c_str());
    return false;
  }
  worker.join(); // done: the worker is returning
  return true;
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
  auto j = std::make_shared<job>();
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
          _("用户名、主目录和主机名会被换成 «USER»、«HOME»、«HOST»，原日志不变。") + "\n" +
          _("不会被换掉的有：IP 地址、机器标识（machine "
            "id）、密码数据库中的全名，以及其他人的名字。"
            "发送前请检查。"),
      false);
  if (!message_box::run(ask, _("不用"), _("打包")))
    return;

  if (!run_job(near, j) || j->res.why == archive::failure::cancelled)
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
