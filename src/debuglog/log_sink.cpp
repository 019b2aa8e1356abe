#include "debuglog/log_sink.hpp"

log4c_category_t *mycat = nullptr;
