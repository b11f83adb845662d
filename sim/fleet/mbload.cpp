// Requests, answers and round-trip times of the Modbus TCP load generator,
// and its figures as JSON.
#include "mbload.h"

#include "mbtcp.h"

namespace mbload {
namespace {

using mbtcp::be16;
using mbtcp::put_be16;

}  // namespace

void hist_add(Histogram &h, uint64_t us) {
  uint64_t bin = us / kBinUs;
  if (bin > kBins) bin = kBins;
  h.bins[bin]++;
  h.count++;
  h.sum_us += static_cast<double>(us);
  if (us > h.max_us) h.max_us = us;
}

double hist_quantile(const Histogram &h, double q) {
  if (h.count == 0) return 0;
  uint64_t rank = static_cast<uint64_t>(q * static_cast<double>(h.count) + 0.999999);
  if (rank < 1) rank = 1;
  uint64_t seen = 0;
  for (int i = 0; i <= kBins; i++) {
    seen += h.bins[i];
    if (seen >= rank) return i == kBins ? static_cast<double>(h.max_us) : (i + 1.0) * kBinUs;
  }
  return static_cast<double>(h.max_us);
}

size_t build_request(const Request &r, uint16_t tid, uint8_t *out) {
  put_be16(out, tid);
  put_be16(out + 2, 0);
  put_be16(out + 4, 6);  // unit, function, address, count
  out[6] = r.unit;
  out[7] = r.fc;
  put_be16(out + 8, r.addr);
  put_be16(out + 10, r.count);
  return 12;
}

Check check_response(const Request &r, uint16_t tid, const uint8_t *p, size_t n, size_t *used) {
  size_t whole = 0;
  const mbtcp::Frame f = mbtcp::frame_check(p, n, &whole);
  if (n < mbtcp::kMbapLen) return Check::kNeedMore;
  if (f == mbtcp::Frame::kBad || be16(p) != tid) return Check::kBad;
  if (f == mbtcp::Frame::kNeedMore) return Check::kNeedMore;
  *used = whole;
  const size_t len = whole - mbtcp::kMbapLen;
  if (p[6] != r.unit) return Check::kBad;
  if (p[7] == (r.fc | 0x80) && len == 3) return Check::kException;
  const bool read = r.fc == 3 || r.fc == 4;
  if (p[7] != r.fc) return Check::kBad;
  if (read && (len != 3u + 2u * r.count || p[8] != 2 * r.count)) return Check::kBad;
  if (!read && len != 6) return Check::kBad;
  return Check::kAnswer;
}

void print_json(FILE *fp, const Run &r, const Counters &c, double seconds, long log_end) {
  const Histogram &h = c.rtt;
  fprintf(fp,
          "{\"log_end\":%ld,\"targets\":%d,\"rate\":%.0f,\"seconds\":%.1f,\"sent\":%llu,\"answered\":%llu,"
          "\"exceptions\":%llu,\"timeouts\":%llu,\"bad\":%llu,\"late\":%llu,\"reconnects\":%llu,"
          "\"connect_fail\":%llu,\"rtt_us\":{\"count\":%llu,\"mean\":%.1f,\"p50\":%.0f,\"p90\":%.0f,"
          "\"p99\":%.0f,\"p999\":%.0f,\"max\":%llu}}\n",
          log_end, r.n, r.rate, seconds, (unsigned long long)c.sent, (unsigned long long)c.answered,
          (unsigned long long)c.exceptions, (unsigned long long)c.timeouts, (unsigned long long)c.bad,
          (unsigned long long)c.late, (unsigned long long)c.reconnects, (unsigned long long)c.connect_fail,
          (unsigned long long)h.count, h.count ? h.sum_us / static_cast<double>(h.count) : 0.0,
          hist_quantile(h, 0.5), hist_quantile(h, 0.9), hist_quantile(h, 0.99), hist_quantile(h, 0.999),
          (unsigned long long)h.max_us);
  fflush(fp);
}

}  // namespace mbload
