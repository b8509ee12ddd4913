// The console's start: the session (or the sign-in form), the pages behind the hash, and the
// live stream of events that keeps the open page current without reloading.
import { call, setCsrf } from './api.js';
import { announce, byId } from './dom.js';
import { setAlphabet } from './counter.js';
import * as modems from './modems.js';
import * as queue from './queue.js';
import * as conversations from './conversations.js';
import * as tokens from './tokens.js';

const pages = ['modems', 'queue', 'conversations', 'tokens'];
let scope = null;
let events = null;
let pending = new Set();
let flushTimer = null;

function showSignIn() {
  scope = null;
  if (events) events.close();
  events = null;
  byId('nav').hidden = true;
  byId('who').hidden = true;
  for (const p of pages) byId(`page-${p}`).hidden = true;
  byId('sign-in').hidden = false;
  byId('token').focus();
}

async function route() {
  if (!scope) return;
  const [page, ...rest] = (location.hash.slice(1) || 'conversations').split('/');
  const name = pages.includes(page) && (page !== 'tokens' || scope === 'admin') ? page : 'conversations';
  for (const p of pages) byId(`page-${p}`).hidden = p !== name;
  for (const a of byId('nav').querySelectorAll('a')) {
    a.setAttribute('aria-current', a.dataset.page === name ? 'page' : 'false');
  }
  try {
    if (name !== 'conversations') conversations.forgetList();
    if (name === 'modems') await modems.load();
    else if (name === 'queue') await queue.load();
    else if (name === 'tokens') await tokens.load();
    else {
      // The list and the conversation load side by side.
      const peer = rest.length ? decodeURIComponent(rest.join('/')) : null;
      if (!peer) conversations.closeThread();
      const list = conversations.listLoaded() ? null : conversations.loadList();
      await Promise.all([peer ? conversations.openThread(peer) : null, list]);
    }
  } catch (e) {
    if (e.status === 401) showSignIn();
    else announce(e.message);
  }
}

// Events come in bursts (a message and its parts): the pages they touch load once per burst.
function touched(kind) {
  pending.add(kind);
  if (flushTimer) return;
  flushTimer = setTimeout(async () => {
    flushTimer = null;
    const kinds = pending;
    pending = new Set();
    const page = (location.hash.slice(1) || 'conversations').split('/')[0];
    try {
      if (kinds.has('message') && page === 'conversations') await conversations.refresh();
      if (kinds.has('message') && page === 'queue') await queue.load();
      if (kinds.has('modem') && page === 'modems') await modems.load();
    } catch (e) {
      announce(e.message);
    }
  }, 50);
}

function listen() {
  if (events) events.close();
  events = new EventSource('/v1/events');
  events.addEventListener('modem', () => touched('modem'));
  events.addEventListener('message', () => touched('message'));
  for (const kind of ['received', 'sent', 'delivered', 'failed', 'uncertain', 'cancelled']) {
    events.addEventListener(kind, () => touched('message'));
  }
  events.addEventListener('open', () => {
    document.body.dataset.live = 'true';
  });
  events.addEventListener('error', () => {
    document.body.dataset.live = 'false';
  });
}

async function start(session) {
  scope = session.scope;
  setCsrf(session.csrf);
  queue.setScope(scope);
  conversations.setScope(scope);
  byId('sign-in').hidden = true;
  byId('nav').hidden = false;
  byId('who').hidden = false;
  byId('who-name').textContent = `${session.name} (${session.scope})`;
  for (const a of byId('nav').querySelectorAll('[data-scope]')) a.hidden = scope !== a.dataset.scope;
  setAlphabet(await call('GET', '/v1/alphabet'));
  listen();
  await route();
}

async function main() {
  conversations.init();
  tokens.init();
  window.addEventListener('hashchange', route);
  byId('sign-in').addEventListener('submit', async (e) => {
    e.preventDefault();
    const error = byId('sign-in-error');
    error.textContent = '';
    try {
      const token = byId('token').value.trim();
      const session = await call('POST', '/v1/session', undefined, { Authorization: `Bearer ${token}` });
      byId('token').value = '';
      await start(session);
    } catch (err) {
      error.textContent = err.status === 401 ? 'This token is not known.' : err.message;
    }
  });
  byId('sign-out').addEventListener('click', async () => {
    try {
      await call('DELETE', '/v1/session');
    } finally {
      setCsrf(null);
      showSignIn();
    }
  });
  try {
    const session = await call('GET', '/v1/session');
    if (session.signedIn) await start(session);
    else showSignIn();
  } catch (e) {
    announce(e.message);
  }
  document.body.dataset.ready = 'true';
  performance.mark('console-ready');
}

main();
