#include "debuglog/log_destination.hpp"

// Placeholder until the destination dialog lands; the debug dialog links against it.
void on_log_file_btn_clicked(GtkWidget *, gpointer) {}
