// The progress line: bytes done, a recent rate and the time left from it,
// so that a slowing disk shows at once rather than averaged away.
const WINDOW_MS = 3000;

export function formatBytes(count) {
  const units = ['bytes', 'KB', 'MB', 'GB', 'TB'];
  let value = count;
  let unit = 0;
  while (value >= 1000 && unit < units.length - 1) {
    value /= 1000;
    unit++;
  }
  return unit === 0 ? `${count} bytes` : `${value.toFixed(value < 10 ? 1 : 0)} ${units[unit]}`;
}

function formatSeconds(seconds) {
  if (seconds < 60) return `${Math.max(1, Math.round(seconds))} s left`;
  const minutes = Math.round(seconds / 60);
  return minutes < 60 ? `${minutes} min left` : `${Math.floor(minutes / 60)} h ${minutes % 60} min left`;
}

export function makeRate(now = () => performance.now()) {
  const samples = [];
  return {
    add(done) {
      const t = now();
      samples.push({ t, done });
      while (samples.length > 2 && t - samples[1].t > WINDOW_MS) samples.shift();
    },
    // Bytes a second over the recent window, or 0 before there is one.
    perSecond() {
      if (samples.length < 2) return 0;
      const first = samples[0];
      const last = samples[samples.length - 1];
      return last.t > first.t ? ((last.done - first.done) * 1000) / (last.t - first.t) : 0;
    },
  };
}

export function progressText(done, total, perSecond) {
  const parts = [`${formatBytes(done)} of ${formatBytes(total)}`];
  if (perSecond > 0) {
    parts.push(`${formatBytes(perSecond)}/s`);
    parts.push(formatSeconds((total - done) / perSecond));
  }
  return parts.join(' · ');
}
