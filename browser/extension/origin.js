// Matching of a page origin against the allow-list of config.js. Kept apart
// from the service worker so it can be tested without a browser.

// Splits "scheme://host[:port]" into its parts; null for anything else
// (paths, user info, "null" origins of sandboxed frames and files).
function parseOrigin(text) {
  const m = /^([a-z][a-z0-9+.-]*):\/\/([^/:@?#]+)(?::(\d+|\*))?$/.exec(text);
  if (!m) return null;
  return { scheme: m[1], host: m[2].toLowerCase(), port: m[3] ?? "" };
}

export function originAllowed(origin, allowed) {
  if (typeof origin !== "string") return false;
  const o = parseOrigin(origin);
  if (!o || o.port === "*") return false;
  return allowed.some((entry) => {
    const a = parseOrigin(entry);
    if (!a || a.scheme !== o.scheme || a.host !== o.host) return false;
    return a.port === "*" || a.port === o.port;
  });
}
