// Requests of the console's pages: the session cookie goes along by itself; every request that
// changes something carries the session's CSRF token.
let csrf = null;

export function setCsrf(token) {
  csrf = token;
}

export class ApiError extends Error {
  constructor(status, message, field) {
    super(message);
    this.status = status;
    this.field = field;
  }
}

export async function call(method, path, body, headers = {}) {
  const init = { method, headers: { ...headers }, credentials: 'same-origin', cache: 'no-store' };
  if (method !== 'GET' && csrf) init.headers['X-CSRF-Token'] = csrf;
  if (body !== undefined) {
    init.headers['Content-Type'] = 'application/json';
    init.body = JSON.stringify(body);
  }
  const answer = await fetch(path, init);
  const text = await answer.text();
  let data = null;
  try {
    data = text ? JSON.parse(text) : null;
  } catch {
    data = null;
  }
  if (!answer.ok) {
    throw new ApiError(answer.status, (data && data.error) || answer.statusText, data && data.field);
  }
  return data;
}
