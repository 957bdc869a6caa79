// The report as metrics for prometheus-node-exporter's textfile collector,
// and the file they go to, replaced whole so the collector never reads part
// of one.
#pragma once

#include <string>

#include "status/drift_report.h"

// The text exposition format: gauges named "zovemo_...", see zovemo_status(8).
std::string prometheus_text(const drift::Report& report);

// Replaces `file` with `text` as the tool replaces its own files
// (durable_file.h): the temporary file "<file>.new-XXXXXX" beside it (which
// the collector, reading only "*.prom", passes over) is synced, made readable
// by all and renamed onto `file`. An existing `file` that is not a regular
// file (a device node such as /dev/null, a link) is refused and left alone.
// Under the root-only metrics lock (waited for at most 5 seconds), the
// temporary files a killed run left are removed first. A target that
// metrics_target_allowed() refuses is left alone. False with the reason in `why_not`; then `file` is
// as it was and no temporary file is left behind.
bool write_metrics_file(const std::string& file, const std::string& text, std::string* why_not);

// Whether `file` may be a metrics file: its name must end in ".prom", it
// must not lie under /boot or /etc/tavel_trusted, and an existing file is
// replaced only when it begins as the metrics files of this program do.
// False with the reason in `why_not`.
bool metrics_target_allowed(const std::string& file, std::string* why_not);
