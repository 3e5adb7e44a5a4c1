// The metrics text byte for byte where it matters, checked by Prometheus's own parser
// (promtool) where it is installed; the listen addresses and the format a scraper asks for.
#include "tools/Metrics.h"
#include "tools/MetricsServer.h"
#include "tools/StatusPage.h"
#include "tools/ToolTestSupport.h"

#include <gtest/gtest.h>

namespace {

TMonitorSample Sample(std::string AName, std::string AKind, std::string ATarget, bool AUp)
{
    TMonitorSample Sample;
    Sample.Name = std::move(AName);
    Sample.Kind = std::move(AKind);
    Sample.Target = std::move(ATarget);
    Sample.Up = AUp;
    Sample.DurationSeconds = 0.25;
    Sample.LastCheck = 1800000000.5;
    Sample.LastSuccess = AUp ? 1800000000.75 : 0;
    return Sample;
}

// A snapshot with everything a label value can hold, and two monitors that would collide.
TMetricsSnapshot Awkward()
{
    TMetricsSnapshot Snapshot;
    Snapshot.Monitors.push_back(Sample("Router", "PingMonitor", "127.0.0.1", true));
    Snapshot.Monitors.push_back(Sample("Say \"hi\"\\\nnow", "WebMonitor", "http://u:***@h/", false));
    Snapshot.Monitors.push_back(Sample("caf\xE9 Имя", "WebMonitor", "https://h/", true));
    Snapshot.Monitors.back().CertificateExpiry = 1800086400;
    Snapshot.Monitors.push_back(Sample("Router", "PingMonitor", "127.0.0.1", false));
    Snapshot.Monitors[1].Checks = 7;
    Snapshot.Monitors[1].Errors = 3;
    return Snapshot;
}

// A sound monitor beside one that is not checked for a value its key cannot take.
TMetricsSnapshot Misconfigured()
{
    TMetricsSnapshot Snapshot;
    Snapshot.Monitors.push_back(Sample("Router", "PingMonitor", "127.0.0.1", true));
    Snapshot.Monitors.push_back(Sample("Db", "TcpMonitor", "127.0.0.1:80", false));
    Snapshot.Monitors.back().Misconfigured = true;
    Snapshot.Monitors.back().Reason = "Port \"99999\" is not between 1 and 65535.";
    return Snapshot;
}

// A snapshot of a watch from one of several sites.
TMetricsSnapshot FromASite()
{
    TMetricsSnapshot Snapshot = Awkward();
    Snapshot.ConstantLabels = { { "site", "fra \"1\"" }, { "env", "prod" } };
    Snapshot.Version = "0.1.0";
    Snapshot.ReloadSuccessful = false;
    Snapshot.ReloadSuccessTime = 1800000000.25;
    return Snapshot;
}

bool HavePromtool()
{
    return std::system("command -v promtool >/dev/null 2>&1") == 0;
}

} // namespace

TEST(Metrics, PrometheusText)
{
    const std::string Text = MetricsText(Awkward(), TMetricsFormat::mfPrometheus);
    const std::string Labels1 = "{monitor=\"Router\",kind=\"PingMonitor\",target=\"127.0.0.1\"}";
    const std::string Labels2
        = "{monitor=\"Say \\\"hi\\\"\\\\\\nnow\",kind=\"WebMonitor\",target=\"http://u:***@h/\"}";
    const std::string Labels3 = "{monitor=\"caf\xEF\xBF\xBD Имя\",kind=\"WebMonitor\",target=\"https://h/\"}";
    const std::string Labels4 = "{monitor=\"Router #2\",kind=\"PingMonitor\",target=\"127.0.0.1\"}";
    const std::string Expected
        = "# HELP vardex_up Whether the monitor's last check succeeded (1) or failed (0).\n"
          "# TYPE vardex_up gauge\n"
          "vardex_up"
        + Labels1
        + " 1\n"
          "vardex_up"
        + Labels2
        + " 0\n"
          "vardex_up"
        + Labels3
        + " 1\n"
          "vardex_up"
        + Labels4 + " 0\n";
    EXPECT_EQ(Text.substr(0, Expected.size()), Expected);
    for (const std::string& Line : { "vardex_check_duration_seconds" + Labels1 + " 0.250\n",
             "vardex_last_check_timestamp_seconds" + Labels2 + " 1800000000.500\n",
             "vardex_last_success_timestamp_seconds" + Labels2 + " 0\n",
             "vardex_last_success_timestamp_seconds" + Labels3 + " 1800000000.750\n",
             "vardex_certificate_expiry_timestamp_seconds" + Labels3 + " 1800086400\n",
             "# TYPE vardex_checks_total counter\nvardex_checks_total" + Labels1 + " 0\n",
             "vardex_checks_total" + Labels2 + " 7\n", "vardex_check_errors_total" + Labels2 + " 3\n",
             "vardex_check_errors_total" + Labels4 + " 0\n" })
        EXPECT_NE(Text.find(Line), std::string::npos) << Line;
    // Only the monitor that has a certificate has an expiry.
    EXPECT_EQ(Text.find("vardex_certificate_expiry_timestamp_seconds" + Labels1), std::string::npos);
    EXPECT_EQ(Text.find("# EOF"), std::string::npos);
    EXPECT_EQ(Text.back(), '\n');
}

TEST(Metrics, OpenMetricsText)
{
    const std::string Text = MetricsText(Awkward(), TMetricsFormat::mfOpenMetrics);
    EXPECT_NE(Text.find("# TYPE vardex_checks counter\nvardex_checks_total{monitor=\"Router\","),
        std::string::npos);
    EXPECT_NE(Text.find("# TYPE vardex_check_errors counter\nvardex_check_errors_total{"), std::string::npos);
    EXPECT_NE(Text.find("# TYPE vardex_up gauge\n"), std::string::npos);
    EXPECT_EQ(Text.substr(Text.size() - 6), "# EOF\n");
    EXPECT_EQ(Text.find("# EOF"), Text.size() - 6);
}

// Prometheus's own strict reader of the text format: an empty start, and the awkward list.
TEST(Metrics, PromtoolAcceptsTheText)
{
    if (!HavePromtool())
        GTEST_SKIP() << "promtool (Debian package prometheus) is not installed";
    testsupport::TTempFolder Folder;
    for (const TMetricsSnapshot& Snapshot :
        { TMetricsSnapshot {}, Awkward(), FromASite(), Misconfigured() }) {
        Folder.Write("metrics.prom", MetricsText(Snapshot, TMetricsFormat::mfPrometheus, true));
        const tooltest::TRun Run
            = tooltest::RunToEnd("/bin/sh", { "-c", "promtool check metrics < metrics.prom" }, Folder.Path());
        EXPECT_EQ(Run.Status, 0) << Run.Out << Run.Err;
        // It also lints: a complaint about names or help texts shows on its output.
        EXPECT_EQ(Run.Out + Run.Err, "");
    }
}

// A monitor not checked has no figures, only its gauge; the status page says why.
TEST(Metrics, AMonitorNotCheckedHasOnlyItsGauge)
{
    const std::string Text = MetricsText(Misconfigured(), TMetricsFormat::mfPrometheus, false);
    EXPECT_NE(
        Text.find(
            "\nvardex_monitor_misconfigured{monitor=\"Db\",kind=\"TcpMonitor\",target=\"127.0.0.1:80\"} 1\n"),
        std::string::npos)
        << Text;
    EXPECT_EQ(Text.find("monitor=\"Db\",kind=\"TcpMonitor\",target=\"127.0.0.1:80\"} 0"), std::string::npos)
        << Text;
    EXPECT_NE(Text.find("vardex_up{monitor=\"Router\""), std::string::npos);
    EXPECT_EQ(MetricsText(FromASite(), TMetricsFormat::mfPrometheus, false).find("misconfigured"),
        std::string::npos);
    const std::string Page = StatusPage(Misconfigured(), 1800000001);
    EXPECT_NE(Page.find("0 down, 1 up, 1 not checked for a value their keys cannot take"), std::string::npos)
        << Page;
    EXPECT_NE(Page.find("<tr class=\"off\"><td class=\"status\">NOT CHECKED</td>"), std::string::npos)
        << Page;
    EXPECT_NE(Page.find("Port &quot;99999&quot; is not between 1 and 65535."), std::string::npos) << Page;
}

// Every series carries the constant labels first, those of the process and the build too.
TEST(Metrics, ConstantLabelsBuildAndProcess)
{
    for (const auto Format : { TMetricsFormat::mfPrometheus, TMetricsFormat::mfOpenMetrics }) {
        const std::string Text = MetricsText(FromASite(), Format, true);
        size_t Series = 0;
        for (const std::string& Line : tooltest::Lines(Text))
            if (Line[0] != '#') {
                ++Series;
                EXPECT_NE(Line.find("{site=\"fra \\\"1\\\"\",env=\"prod\""), std::string::npos) << Line;
            }
        // Six families a monitor, one certificate; postponed, reload, build; the process.
        EXPECT_EQ(Series, 4u * 6 + 1 + 4 + 5);
        for (const char* Want :
            { "\nvardex_build_info{site=\"fra \\\"1\\\"\",env=\"prod\",version=\"0.1.0\"} 1\n",
                "\nvardex_config_last_reload_successful{site=\"fra \\\"1\\\"\",env=\"prod\"} 0\n",
                "\nvardex_config_last_reload_success_timestamp_seconds{site=\"fra \\\"1\\\"\",env=\"prod\"} "
                "1800000000.250\n",
                "\nprocess_cpu_seconds_total{", "\nprocess_resident_memory_bytes{", "\nprocess_open_fds{",
                "\nprocess_max_fds{", "\nprocess_start_time_seconds{" })
            EXPECT_NE(Text.find(Want), std::string::npos) << Want;
    }
    const TProcessFigures Figures = ReadProcessFigures();
    EXPECT_GT(Figures.ResidentBytes, 1e6);
    EXPECT_GE(Figures.OpenFds, 3);
    EXPECT_GE(Figures.MaxFds, Figures.OpenFds);
    EXPECT_NEAR(Figures.StartTime, double(time(nullptr)), 600);
    EXPECT_EQ(MetricsText(FromASite(), TMetricsFormat::mfPrometheus).find("process_"), std::string::npos);
}

// The README's rule for a monitor down from two sites, under promtool's rule tests: two sites
// of three down for two minutes fire it; one site, or two for one minute, do not.
TEST(Metrics, PromtoolTestsTheTwoSiteRule)
{
    if (!HavePromtool())
        GTEST_SKIP() << "promtool (Debian package prometheus) is not installed";
    const char* Source = std::getenv("VARDEX_SOURCE_DIR");
    ASSERT_NE(Source, nullptr);
    const std::string Readme = tooltest::ReadWholeFile(std::string(Source) + "/README.md");
    const size_t Alert = Readme.find("alert: VardexMonitorDownFromTwoSites");
    ASSERT_NE(Alert, std::string::npos);
    const size_t Start = Readme.rfind("\n    groups:\n", Alert) + 1;
    const size_t End = Readme.find("\n\n", Alert);
    std::string Rules;
    for (const std::string& Line : tooltest::Lines(Readme.substr(Start, End - Start + 1)))
        Rules += Line.substr(4) + "\n";
    testsupport::TTempFolder Folder;
    Folder.Write("rules.yml", Rules);
    const std::string Up = "vardex_up{monitor=\"Shop\",kind=\"WebMonitor\",target=\"https://shop/\",site=";
    Folder.Write("tests.yml",
        "rule_files: [rules.yml]\nevaluation_interval: 30s\ntests:\n"
        "  - interval: 30s\n    input_series:\n"
        "      - series: '"
            + Up
            + "\"fra1\"}'\n        values: '1 1 0 0 0 0 0 0 0 0'\n"
              "      - series: '"
            + Up
            + "\"ams1\"}'\n        values: '1 1 1 1 1 0 0 0 0 0'\n"
              "      - series: '"
            + Up
            + "\"waw1\"}'\n        values: '1 1 1 1 1 1 1 1 1 1'\n"
              "    alert_rule_test:\n"
              "      - eval_time: 2m\n        alertname: VardexMonitorDownFromTwoSites\n        exp_alerts: "
              "[]\n"
              "      - eval_time: 3m30s\n        alertname: VardexMonitorDownFromTwoSites\n        "
              "exp_alerts: []\n"
              "      - eval_time: 4m30s\n        alertname: VardexMonitorDownFromTwoSites\n        "
              "exp_alerts:\n"
              "          - exp_labels: { severity: page, monitor: Shop, kind: WebMonitor, target: "
              "'https://shop/' }\n"
              "            exp_annotations: { summary: 'Shop (https://shop/) is down from 2 sites' }\n");
    const tooltest::TRun Run
        = tooltest::RunToEnd("/bin/sh", { "-c", "promtool test rules tests.yml" }, Folder.Path());
    EXPECT_EQ(Run.Status, 0) << Rules << Run.Out << Run.Err;
}

TEST(Metrics, FormatByAccept)
{
    EXPECT_EQ(MetricsFormatFor(""), TMetricsFormat::mfPrometheus);
    EXPECT_EQ(MetricsFormatFor("text/plain;version=0.0.4"), TMetricsFormat::mfPrometheus);
    // What Prometheus sends.
    EXPECT_EQ(MetricsFormatFor("application/openmetrics-text;version=1.0.0,application/openmetrics-text;"
                               "version=0.0.1;q=0.75,text/plain;version=0.0.4;q=0.5,*/*;q=0.1"),
        TMetricsFormat::mfOpenMetrics);
}

TEST(Metrics, ListenAddresses)
{
    struct TCase {
        const char* Text;
        const char* Host; // nullptr: refused
        int Port;
    };
    const TCase Cases[] = {
        { "9100", "127.0.0.1", 9100 },
        { ":9100", "127.0.0.1", 9100 },
        { "0.0.0.0:9100", "0.0.0.0", 9100 },
        { "localhost:0", "localhost", 0 },
        { "[::1]:9100", "::1", 9100 },
        { "::1:9100", nullptr, 0 },
        { "127.0.0.1:65536", nullptr, 0 },
        { "127.0.0.1:", nullptr, 0 },
        { "127.0.0.1:+80", nullptr, 0 },
        { "", nullptr, 0 },
    };
    for (const TCase& Case : Cases) {
        TListenAddress Address;
        const std::string Wrong = ParseListenAddress(Case.Text, Address);
        if (Case.Host == nullptr) {
            EXPECT_NE(Wrong, "") << Case.Text;
            continue;
        }
        EXPECT_EQ(Wrong, "") << Case.Text;
        EXPECT_EQ(Address.Host, Case.Host) << Case.Text;
        EXPECT_EQ(Address.Port, Case.Port) << Case.Text;
    }
}
