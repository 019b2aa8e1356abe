// Runs the real program (startup::run, with this program's arguments) and makes a logged
// debug run from its window, as a user would: "调试", tick "启动日志", type the channels,
// "..." to choose the log file and its size, "运行"; then answers the box at the end of the run.
//   NIVRA_DRIVE_LOG       the log file to choose (FOLDER/NAME; the folder must exist)
//   NIVRA_DRIVE_CHANNELS  the WINEDEBUG channels to type
//   NIVRA_DRIVE_CMDLINE   a command line to type instead of the one the dialog fills in
//   NIVRA_DRIVE_ARCHIVE   the answer to the archive box: "打包" or "不用" (unset: "打包")
//   NIVRA_DRIVE_STOP      "1": once the log names notepad.exe, end the prefix's server
//                         (`wineserver -k` with this WINEPREFIX), which ends the run;
//                         "button": once the dialog shows NIVRA_DRIVE_STOP_LINES lines logged
//                         (default 2000), move the main window, click its "配置" (which must
//                         start nothing), then "停止" and "停止运行"
//   NIVRA_SHOT_RUN        a PNG of the debug dialog while the run goes on, taken just before
//                         "停止" (with NIVRA_DRIVE_STOP=button)
//   NIVRA_DRIVE_REMOVE    "1": remove the log files before the archive box is answered
//   NIVRA_DRIVE_CANCEL    "1": press "取消" in the progress box as soon as it is there
//   NIVRA_SHOT_ARCHIVE    a PNG of the archive box, taken before it is answered
//   NIVRA_SHOT_ERROR      a PNG of the first box titled "错误", taken before it is answered
// With a session bus it serves org.freedesktop.FileManager1 itself. It reports on stderr
// "driver: shown URI\n" for ShowItems, "driver: saved PATH\n" for the box that names the archive
// where nothing could show it, "driver: error [TEXT|DETAIL]\n" for a box titled
// "错误", "driver: cancelled, the box closed after N ms\n" once "取消" has closed the progress
// box, and "driver: no box\n" when the run ended without the archive box; then it closes
// the main window.
#include "debug/debug_dialog.hpp"
#include "find_widget.hpp"
#include "startup.hpp"

#include <dirent.h>
#include <gtk/gtk.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

using driver::find_button;
using driver::find_toplevel;

const char *env(const char *name, const char *fallback) {
  const char *v = std::getenv(name);
  return v ? v : fallback;
}

std::string log_path() { return env("NIVRA_DRIVE_LOG", ""); }
std::atomic<bool> run_over{false};

gboolean close_main(gpointer) {
  if (GtkWidget *window = find_toplevel("wine辅助程序"))
    gtk_widget_destroy(window);
  return G_SOURCE_REMOVE;
}

// Ends the prefix's server once the log shows that notepad was loaded.
void stop_when_loaded() {
  const std::string path = log_path();
  const std::string dir = path.substr(0, path.rfind('/'));
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(90);
  while (!run_over && std::chrono::steady_clock::now() < give_up) {
    bool loaded = false;
    if (DIR *d = opendir(dir.c_str())) {
      while (dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
          continue;
        std::ifstream in(dir + "/" + e->d_name);
        std::stringstream text;
        text << in.rdbuf();
        loaded = loaded || text.str().find("notepad.exe") != std::string::npos;
      }
      closedir(d);
    }
    if (loaded) {
      std::this_thread::sleep_for(std::chrono::seconds(2));
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  if (!run_over)
    std::system("wineserver -k");
}

void save(GtkWidget *window, const char *path) {
  GdkWindow *w = gtk_widget_get_window(window);
  GdkPixbuf *shot =
      gdk_pixbuf_get_from_window(w, 0, 0, gdk_window_get_width(w), gdk_window_get_height(w));
  if (!shot || !gdk_pixbuf_save(shot, path, "png", nullptr, nullptr)) {
    std::fprintf(stderr, "driver: cannot save %s\n", path);
    std::exit(3);
  }
  g_object_unref(shot);
}

gboolean click(gpointer button) {
  gtk_button_clicked(GTK_BUTTON(button));
  return G_SOURCE_REMOVE;
}

enum class stage { main, debug, chooser, size, run, archive, wait, done };

stage at = stage::main;
int settle = 0;

GtkWidget *message_box(const char *title) {
  GtkWidget *w = find_toplevel(title);
  return w && GTK_IS_MESSAGE_DIALOG(w) ? w : nullptr;
}

void report_error(GtkWidget *box) {
  gchar *text = nullptr, *detail = nullptr;
  g_object_get(box, "text", &text, "secondary-text", &detail, nullptr);
  std::fprintf(stderr, "driver: error [%s|%s]\n", text ? text : "", detail ? detail : "");
  g_free(text);
  g_free(detail);
  gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_DELETE_EVENT);
  at = stage::done;
  g_timeout_add(200, close_main, nullptr);
}

bool stop_pressed = false;

// The value shown after one of the debug dialog's figures, or "".
std::string figure(GtkWidget *dialog, const char *name) {
  name = _(name);
  GtkWidget *key = driver::find_widget(dialog, [name](GtkWidget *w) {
    return GTK_IS_LABEL(w) && std::strcmp(gtk_label_get_text(GTK_LABEL(w)), name) == 0;
  });
  GtkWidget *value = key ? gtk_label_get_mnemonic_widget(GTK_LABEL(key)) : nullptr;
  return value ? gtk_label_get_text(GTK_LABEL(value)) : "";
}

// NIVRA_DRIVE_STOP=button: the user's stop, half-way through the run.
void stop_with_the_button(GtkWidget *dialog) {
  if (GtkWidget *question = message_box("停止")) {
    std::fprintf(stderr, "driver: stop asked after %s lines\n",
                 figure(dialog, "已记录行数:").c_str());
    gtk_button_clicked(GTK_BUTTON(find_button(question, "停止运行")));
    return;
  }
  if (stop_pressed)
    return;
  const long lines = std::atol(figure(dialog, "已记录行数:").c_str());
  if (lines < std::atol(env("NIVRA_DRIVE_STOP_LINES", "2000")))
    return;
  if (const char *shot = std::getenv("NIVRA_SHOT_RUN"))
    save(dialog, shot);
  GtkWidget *window = find_toplevel("wine辅助程序");
  int x = 0, y = 0;
  gtk_window_get_position(GTK_WINDOW(window), &x, &y);
  gtk_window_move(GTK_WINDOW(window), x + 40, y + 30);
  GtkWidget *tool = find_button(window, "配置");
  std::fprintf(stderr, "driver: 配置 %s during the run\n",
               gtk_widget_get_sensitive(tool) ? "can be pressed" : "cannot be pressed");
  gtk_button_clicked(GTK_BUTTON(tool));
  stop_pressed = true;
  g_idle_add(click, find_button(dialog, "停止"));
}

gboolean tick(gpointer) {
  if (GtkWidget *box = message_box("错误")) {
    static int error_settle = 0;
    if (const char *shot = std::getenv("NIVRA_SHOT_ERROR")) {
      if (error_settle++ < 8)
        return G_SOURCE_CONTINUE;
      save(box, shot);
    }
    report_error(box);
    return G_SOURCE_CONTINUE;
  }
  switch (at) {
  case stage::main:
    if (GtkWidget *window = find_toplevel("wine辅助程序")) {
      at = stage::debug;
      g_idle_add(click, find_button(window, "调试"));
    }
    break;
  case stage::debug:
    if (GtkWidget *dialog = find_toplevel("调试启动")) {
      gtk_button_clicked(GTK_BUTTON(find_button(dialog, "启动日志")));
      gtk_entry_set_text(GTK_ENTRY(log_channel_entry), env("NIVRA_DRIVE_CHANNELS", "+loaddll"));
      if (const char *cmdline = std::getenv("NIVRA_DRIVE_CMDLINE"))
        gtk_entry_set_text(GTK_ENTRY(cmdline_entry), cmdline);
      at = stage::chooser;
      g_idle_add(click, find_button(dialog, "..."));
    }
    break;
  case stage::chooser:
    if (GtkWidget *chooser = find_toplevel("Save File")) {
      const std::string path = log_path();
      const std::string dir = path.substr(0, path.rfind('/')), name = path.substr(dir.size() + 1);
      if (!g_object_get_data(G_OBJECT(chooser), "set")) {
        g_object_set_data(G_OBJECT(chooser), "set", chooser);
        gtk_file_chooser_set_current_folder(GTK_FILE_CHOOSER(chooser), dir.c_str());
      }
      gtk_file_chooser_set_current_name(GTK_FILE_CHOOSER(chooser), name.c_str());
      gchar *chosen = gtk_file_chooser_get_filename(GTK_FILE_CHOOSER(chooser));
      // The chooser turns an accept down while it is still changing folder: ask again.
      if (chosen && path == chosen)
        gtk_dialog_response(GTK_DIALOG(chooser), GTK_RESPONSE_ACCEPT);
      g_free(chosen);
    } else if (find_toplevel("请设置文件大小以及需要保留最近几个文件")) {
      at = stage::size;
    }
    break;
  case stage::size:
    if (GtkWidget *size = find_toplevel("请设置文件大小以及需要保留最近几个文件")) {
      GList *rows =
          gtk_container_get_children(GTK_CONTAINER(gtk_dialog_get_content_area(GTK_DIALOG(size))));
      GList *cells = gtk_container_get_children(GTK_CONTAINER(rows->data));
      gtk_entry_set_text(GTK_ENTRY(g_list_nth_data(cells, 1)), "64");
      gtk_entry_set_text(GTK_ENTRY(g_list_nth_data(cells, 4)), "50");
      g_list_free(cells);
      g_list_free(rows);
      gtk_dialog_response(GTK_DIALOG(size), 2);
      at = stage::run;
    }
    break;
  case stage::run:
    if (GtkWidget *dialog = find_toplevel("调试启动");
        dialog && !find_toplevel("请设置文件大小以及需要保留最近几个文件")) {
      if (std::getenv("NIVRA_DRIVE_STOP") && std::strcmp(std::getenv("NIVRA_DRIVE_STOP"), "1") == 0)
        std::thread(stop_when_loaded).detach();
      at = stage::archive;
      gtk_dialog_response(GTK_DIALOG(dialog), 2);
    }
    break;
  case stage::archive:
    // The window goes on while the run goes on: the run is over when its box comes.
    if (GtkWidget *box = message_box("打包日志")) {
      run_over = true;
      if (const char *shot = std::getenv("NIVRA_SHOT_ARCHIVE"); shot && settle++ < 8)
        break;
      if (const char *shot = std::getenv("NIVRA_SHOT_ARCHIVE"))
        save(box, shot);
      if (std::getenv("NIVRA_DRIVE_REMOVE"))
        std::system(("rm -f '" + log_path() + "'.[0-9]*").c_str());
      gtk_button_clicked(GTK_BUTTON(find_button(box, env("NIVRA_DRIVE_ARCHIVE", "打包"))));
      at = stage::wait;
    } else if (GtkWidget *dialog = find_toplevel("调试启动")) {
      if (std::strcmp(env("NIVRA_DRIVE_STOP", ""), "button") == 0)
        stop_with_the_button(dialog);
    } else {
      run_over = true;
      std::fprintf(stderr, "driver: no box\n");
      at = stage::done;
      g_idle_add(close_main, nullptr);
    }
    break;
  case stage::wait:
    if (std::getenv("NIVRA_DRIVE_CANCEL")) {
      static gint64 pressed = 0;
      GtkWidget *progress = find_toplevel("打包日志");
      if (progress && !pressed) {
        pressed = g_get_monotonic_time();
        gtk_button_clicked(GTK_BUTTON(find_button(progress, "取消")));
      } else if (!progress && pressed) {
        std::fprintf(stderr, "driver: cancelled, the box closed after %lld ms\n",
                     static_cast<long long>((g_get_monotonic_time() - pressed) / 1000));
        at = stage::done;
        g_timeout_add(200, close_main, nullptr);
      }
      break;
    }
    // Without a file manager or a folder opener the archive is named in a box.
    if (GtkWidget *box = message_box("打包日志")) {
      gchar *path = nullptr;
      g_object_get(box, "secondary-text", &path, nullptr);
      std::fprintf(stderr, "driver: saved %s\n", path ? path : "");
      g_free(path);
      gtk_dialog_response(GTK_DIALOG(box), GTK_RESPONSE_DELETE_EVENT);
      at = stage::done;
      g_timeout_add(200, close_main, nullptr);
      break;
    }
    // Without a session bus there is no ShowItems to wait for.
    if (!find_toplevel("调试启动") && !find_toplevel("打包日志") &&
        (std::strcmp(env("NIVRA_DRIVE_ARCHIVE", "打包"), "打包") != 0 ||
         !std::getenv("DBUS_SESSION_BUS_ADDRESS"))) {
      at = stage::done;
      g_idle_add(close_main, nullptr);
    }
    break;
  case stage::done:
    break;
  }
  return G_SOURCE_CONTINUE;
}

const char kFileManager[] = "<node><interface name='org.freedesktop.FileManager1'>"
                            "<method name='ShowItems'><arg type='as' name='uris' direction='in'/>"
                            "<arg type='s' name='startup_id' direction='in'/></method>"
                            "</interface></node>";

void on_call(GDBusConnection *, const gchar *, const gchar *, const gchar *, const gchar *method,
             GVariant *params, GDBusMethodInvocation *invocation, gpointer) {
  if (std::strcmp(method, "ShowItems") == 0) {
    GVariantIter *uris = nullptr;
    const gchar *startup = nullptr;
    g_variant_get(params, "(as&s)", &uris, &startup);
    const gchar *uri = nullptr;
    while (g_variant_iter_next(uris, "&s", &uri))
      std::fprintf(stderr, "driver: shown %s\n", uri);
    g_variant_iter_free(uris);
    at = stage::done;
    g_timeout_add(200, close_main, nullptr);
  }
  g_dbus_method_invocation_return_value(invocation, nullptr);
}

void serve_file_manager(GDBusConnection *bus, const gchar *, gpointer) {
  static const GDBusInterfaceVTable vtable = {on_call, nullptr, nullptr, {}};
  GDBusNodeInfo *node = g_dbus_node_info_new_for_xml(kFileManager, nullptr);
  g_dbus_connection_register_object(bus, "/org/freedesktop/FileManager1", node->interfaces[0],
                                    &vtable, nullptr, nullptr, nullptr);
  g_dbus_node_info_unref(node);
}

} // namespace

int main(int argc, char **argv) {
  if (log_path().empty()) {
    std::fprintf(stderr, "archive_driver: set NIVRA_DRIVE_LOG\n");
    return 1;
  }
  if (std::getenv("DBUS_SESSION_BUS_ADDRESS"))
    g_bus_own_name(G_BUS_TYPE_SESSION, "org.freedesktop.FileManager1", G_BUS_NAME_OWNER_FLAGS_NONE,
                   serve_file_manager, nullptr, nullptr, nullptr, nullptr);
  g_timeout_add(50, tick, nullptr);
  return startup::run(argc, argv);
}
