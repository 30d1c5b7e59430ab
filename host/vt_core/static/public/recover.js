// Served to anyone, on the page the host answers a browser it does not let in.
//
// Over plain HTTP any server of this host name, whatever its port, may set a cookie of the
// page's name over the page's own. The page kept its session for this tab (sessionStorage:
// this origin's pages of this tab alone read it; the session is sealed to this browser's
// user or address, like the cookie, and it is never the secret): hand it back once, as
// /?session=..., which sets it as the cookie again. If that does not open the page either
// (the sessions were revoked), the refusal stands.

const KEY = "vt-session";
const RETRIED = `${KEY}-retried`;
const session = sessionStorage.getItem(KEY);

if (session && !sessionStorage.getItem(RETRIED)) {
  sessionStorage.setItem(RETRIED, "1"); // the page clears it once it is in again
  const query = new URLSearchParams(location.search);
  query.set("session", session);
  location.replace(`/?${query}`);
} else if (session) {
  sessionStorage.removeItem(KEY);
  sessionStorage.removeItem(RETRIED);
}
