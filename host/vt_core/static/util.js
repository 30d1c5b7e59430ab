// Small helpers shared by the player's modules.

export function fmtTime(s) {
  if (!Number.isFinite(s) || s < 0) return "0:00";
  const m = Math.floor(s / 60);
  const sec = Math.floor(s % 60);
  return `${m}:${sec < 10 ? "0" : ""}${sec}`;
}

export function cssSize(v) {
  if (v === undefined || v === null || v === "") return "";
  return typeof v === "number" ? `${v}px` : String(v);
}

export function el(tag, cls, attrs = {}) {
  const e = document.createElement(tag);
  if (cls) e.className = cls;
  for (const [k, v] of Object.entries(attrs)) e.setAttribute(k, v);
  return e;
}

export function errorText(err) {
  if (!err) return "unknown error";
  if (typeof err === "string") return err;
  return err.message || err.name || String(err);
}

/** x rounded to `places` decimals (0 for what is not a number). */
export function round(x, places) {
  const k = 10 ** places;
  return Math.round((Number(x) || 0) * k) / k;
}
