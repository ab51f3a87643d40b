// The summaries of the certificates the agent listed in this browser
// session, by thumbprint (the SHA-256 of the certificate, so one thumbprint
// always means the same certificate and summary): a signature for a known
// certificate shows its window without starting the agent to list again.
// `area` is storage.session: in memory, gone when the browser closes, and
// kept while the background is stopped and started again in between.
const CERT = "certificate:";

export function createSummaries(area) {
  return {
    async remember(certificates) {
      const entries = {};
      for (const c of Array.isArray(certificates) ? certificates : []) {
        if (typeof c?.thumbprint === "string" && /^[0-9a-f]{64}$/.test(c.thumbprint)) entries[CERT + c.thumbprint] = c;
      }
      if (Object.keys(entries).length) await area.set(entries);
    },
    async get(thumbprint) {
      const key = CERT + thumbprint.toLowerCase();
      return (await area.get(key))[key] ?? null;
    },
    async forget(thumbprint) {
      await area.remove(CERT + thumbprint.toLowerCase());
    },
  };
}
