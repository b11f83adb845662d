// The pages as documents: each in one frame, with the style sheet and the
// helper script every page shares (pages/common.css, common.js) and its
// own. The scripts put what a gateway sent into text nodes and attributes
// only, never into markup. A token for the API comes from the address'
// fragment (#token=SECRET) and is kept on every link between the pages.
#include "web/pages.h"

#include <initializer_list>
#include <string>

#include "web/routes.h"

namespace hub {
namespace {

using Parts = std::initializer_list<std::string_view>;

// The frame; each part on a line of its own.
std::string document(const char *title, Parts styles, std::string_view body, Parts scripts) {
  std::string d = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>";
  d += title;
  d += "</title>\n<style>";
  for (std::string_view s : styles) d.append("\n").append(s);
  d += "</style>\n</head>\n<body>\n<h1>trm-hub <span id=\"hub\"></span></h1>\n"
       "<nav><a href=\"/\">fleet</a><a href=\"/jobs\">jobs</a></nav>\n\n";
  d += body;
  d += "\n<script>";
  for (std::string_view s : scripts) d.append("\n").append(s);
  d += "navLinks();\n</script>\n</body>\n</html>\n";
  return d;
}

ApiReply html(const std::string &page) {
  ApiReply r;
  r.type = "text/html; charset=utf-8";
  r.body = page;
  return r;
}

}  // namespace

// The fleet: a summary bar of the whole fleet, the gateways a page at a
// time (sorted, filtered and paged by the hub: the page never holds more
// than its rows), the ones needing attention first unless another column
// is chosen. It asks again every two seconds.
ApiReply page_fleet(Hub &, const ApiRequest &, const RouteArgs &) {
  using namespace pages;
  static const std::string kPage =
      document("trm-hub · fleet", {common_css, fleet_css}, fleet_html, {common_js, fleet_js});
  return html(kPage);
}

// A gateway (/gateway/<id>): identity, address and session, counters,
// exposures, the last events, its signal and its online/offline timeline
// over 24 hours and 30 days, drawn as SVG by plots.js (the signal: each
// bucket's lowest to highest as a band, its mean as a line, the weak-signal
// line; the timeline: online full height, held two thirds, offline one
// third, so it reads without colour), and the actions, each with the
// gateway's reply. With a read token the actions are disabled, and it says so.
ApiReply page_gateway(Hub &, const ApiRequest &, const RouteArgs &) {
  using namespace pages;
  static const std::string kPage = document("trm-hub · gateway", {common_css, gateway_css}, gateway_html,
                                            {common_js, plots_js, gateway_js});
  return html(kPage);
}

// The fleet jobs, newest first, with a bar of their targets' states; a page
// of one job's targets (filtered by state); a form that makes a job, and
// cancelling one.
ApiReply page_jobs(Hub &, const ApiRequest &, const RouteArgs &) {
  using namespace pages;
  static const std::string kPage = document("trm-hub · jobs", {common_css, jobs_css}, jobs_html, {common_js, jobs_js});
  return html(kPage);
}

}  // namespace hub
