#include "log/log_sink.hpp"

#include "log/sizewin_policy.hpp"
#include "settings/settings.hpp"

#include <log4c/appender_type_rollingfile.h>
#include <log4c/layout_type_dated.h>
#include <unistd.h>

#include <cstdio>

log4c_category_t *mycat = nullptr;

namespace {

// What one set-up made. log4c frees none of it (mycat's deletion releases the category
// only), so it is kept reachable here; the previous set-up's appender is closed by the next.
struct sink_setup {
  log4c_appender_t *appender = nullptr;
  rollingfile_udata_t *rfudata = nullptr;
  log4c_rollingpolicy_t *policy = nullptr;
  log4c_layout_t *layout = nullptr;
  sink_setup *earlier = nullptr;
};

sink_setup *setups = nullptr;

// Closes the last set-up's open log file. Only while no category can still reach it
// (the caller has deleted mycat), and never when its stream is the process's own stderr,
// which the appender's close would fclose.
void close_previous_appender() {
  sink_setup *last = setups;
  if (mycat || !last || !last->appender)
    return;
  if (last->policy) {
    auto *sw =
        static_cast<sizewin_policy::sizewin_udata *>(log4c_rollingpolicy_get_udata(last->policy));
    if (sw && (sw->flags & sizewin_policy::flag_shared_stderr))
      return;
  }
  log4c_appender_close(last->appender);
}

// A rolling-file appender without this set-up's data crashes at its first record, so a set-up
// that stops before attaching the data leaves mycat without an appender: records are dropped.
void detach_unfinished_appender() { log4c_category_set_appender(mycat, nullptr); }

} // namespace

void init_log_sink(const char *dir, const char *prefix, std::int64_t max_size, int max_files) {
  close_previous_appender();

  if (log4c_init() != 0) {
    std::puts("497 log4c_init error");
    return;
  }

  mycat = log4c_category_new("nivra-wine");
  if (!mycat) {
    std::puts("mycat is NULL");
    return;
  }

  log4c_appender_t *appender = log4c_appender_new("myappender");
  if (!appender) {
    std::puts("appender is NULL");
    return;
  }
  auto *setup = new sink_setup;
  setup->appender = appender;
  setup->earlier = setups;
  setups = setup;

  log4c_appender_set_type(appender, &log4c_appender_type_rollingfile);
  log4c_category_set_appender(mycat, appender);

  rollingfile_udata_t *rfup = rollingfile_make_udata();
  setup->rfudata = rfup;
  if (dir)
    rollingfile_udata_set_logdir(rfup, dir);
  if (prefix)
    rollingfile_udata_set_files_prefix(rfup, prefix);

  if (!dir || !prefix || access(dir, W_OK) != 0) {
    std::puts("no write permission");
    detach_unfinished_appender();
    return;
  }

  log4c_rollingpolicy_t *policy = log4c_rollingpolicy_new("sizewin");
  setup->policy = policy;
  // A new policy carries the library's own size-window type; ours writes the header.
  log4c_rollingpolicy_set_type(policy, &sizewin_policy::log4c_rollingpolicy_type_sizewin);
  rollingfile_udata_set_policy(rfup, policy);

  sizewin_policy::sizewin_udata *swup = sizewin_policy::sizewin_make_udata();
  sizewin_policy::sizewin_udata_set_file_maxsize(swup, max_size);
  sizewin_policy::sizewin_udata_set_max_num_files(swup, max_files);
  log4c_rollingpolicy_set_udata(policy, swup);
  sizewin_policy::sizewin_udata_set_file_header(swup, sys_info);

  if (log4c_rollingpolicy_init(policy, rfup) != 0) {
    std::puts("373 error");
    detach_unfinished_appender();
    return;
  }

  log4c_appender_set_udata(appender, rfup);

  log4c_layout_t *layout = log4c_layout_new("mylayout");
  setup->layout = layout;
  log4c_layout_set_type(layout, &log4c_layout_type_dated);
  log4c_appender_set_layout(appender, layout);

  log4c_category_set_priority(mycat, LOG4C_PRIORITY_DEBUG);

  std::puts("log4c_api 配置完成");
}

namespace log_sink {

namespace {

// The last set-up when it was finished, with its policy's data still there.
sizewin_policy::sizewin_udata *last_policy_data() {
  const sink_setup *last = setups;
  if (!last || !last->layout || !last->policy)
    return nullptr;
  return static_cast<sizewin_policy::sizewin_udata *>(log4c_rollingpolicy_get_udata(last->policy));
}

} // namespace

void open_files() {
  if (mycat && last_policy_data() && log4c_category_get_appender(mycat) == setups->appender)
    log4c_appender_open(setups->appender);
}

sizewin_policy::write_stop outcome() {
  const sizewin_policy::sizewin_udata *sw = last_policy_data();
  return sw ? sw->stop : sizewin_policy::write_stop{};
}

} // namespace log_sink
