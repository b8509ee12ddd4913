// The Conversations page: conversations newest first with search, a conversation's messages, and
// the reply box with the composer's counter.
import { call } from './api.js';
import { announce, byId, clear, el, shortTime } from './dom.js';
import { counterText } from './counter.js';
import { messageItem } from './message.js';

let peer = null;
let before = null;
let canSend = false;
let searchTimer = null;

export function setScope(scope) {
  canSend = scope === 'send' || scope === 'admin';
}

let listShown = false;

// Whether the list was shown since the page loaded (opening a conversation does not load it again).
export function listLoaded() {
  return listShown;
}

// Another page is shown: the list may miss what happened meanwhile.
export function forgetList() {
  listShown = false;
}

export async function loadList() {
  const q = byId('search-q').value.trim();
  const data = await call('GET', `/v1/conversations${q ? `?q=${encodeURIComponent(q)}` : ''}`);
  const list = byId('conversations');
  clear(list);
  for (const c of data.conversations) {
    const link = el(
      'a',
      { href: `#conversations/${encodeURIComponent(c.peer)}`, 'aria-current': c.peer === peer ? 'true' : false },
      el('span', { class: 'peer', dir: 'auto', text: c.peer }),
      c.unread > 0 ? el('span', { class: 'unread', 'aria-label': `${c.unread} unread`, text: c.unread }) : null,
      el('span', { class: 'summary', dir: 'auto', text: c.summary }),
      el('time', { datetime: c.time, text: shortTime(c.time) }),
    );
    list.append(el('li', { 'data-peer': c.peer }, link));
  }
  if (data.conversations.length === 0) list.append(el('li', { class: 'muted', text: 'No conversations' }));
  listShown = true;
}

// Puts the messages into the list in id order: new ones added, changed ones replaced.
function merge(messages) {
  const thread = byId('thread');
  for (const m of messages) {
    const item = messageItem(m);
    const old = thread.querySelector(`li[data-id="${m.id}"]`);
    if (old) {
      old.replaceWith(item);
      continue;
    }
    const after = [...thread.children].find((li) => Number(li.dataset.id) > m.id);
    thread.insertBefore(item, after || null);
  }
}

export async function openThread(name) {
  const changed = name !== peer;
  peer = name;
  byId('thread-pane').hidden = false;
  byId('page-conversations').classList.add('reading');
  byId('thread-peer').textContent = name;
  byId('reply').hidden = !canSend;
  if (changed) {
    clear(byId('thread'));
    byId('reply-text').value = '';
    updateCounter();
  }
  const data = await call('GET', `/v1/conversation?peer=${encodeURIComponent(name)}`);
  if (name !== peer) return;
  merge(data.messages);
  if (changed) {
    before = data.before;
    byId('thread-older').hidden = before === null;
    const last = byId('thread').lastElementChild;
    if (last) last.scrollIntoView({ block: 'end' });
    byId('thread').dataset.peer = name;
  }
  for (const li of byId('conversations').children) {
    const a = li.querySelector('a');
    if (a) a.setAttribute('aria-current', li.dataset.peer === name ? 'true' : 'false');
  }
}

export function closeThread() {
  peer = null;
  byId('thread-pane').hidden = true;
  byId('page-conversations').classList.remove('reading');
}

export function currentPeer() {
  return peer;
}

// A message changed or arrived: the list and the open conversation show it.
export async function refresh() {
  // The open conversation is asked for first: the server answers in order, and the list of every
  // conversation takes longer on a large store.
  await Promise.all([peer ? openThread(peer) : null, loadList()]);
}

function updateCounter() {
  byId('reply-counter').textContent = counterText(byId('reply-text').value);
}

export function init() {
  byId('search').addEventListener('submit', (e) => {
    e.preventDefault();
    loadList();
  });
  byId('search-q').addEventListener('input', () => {
    clearTimeout(searchTimer);
    searchTimer = setTimeout(loadList, 250);
  });
  byId('thread-back').addEventListener('click', () => {
    location.hash = '#conversations';
  });
  byId('thread-older').addEventListener('click', async () => {
    if (!peer || before === null) return;
    const data = await call('GET', `/v1/conversation?peer=${encodeURIComponent(peer)}&before=${before}`);
    merge(data.messages);
    before = data.before;
    byId('thread-older').hidden = before === null;
  });
  byId('reply-text').addEventListener('input', updateCounter);
  byId('reply').addEventListener('submit', async (e) => {
    e.preventDefault();
    const text = byId('reply-text').value;
    if (!text || !peer) return;
    const error = byId('reply-error');
    error.textContent = '';
    try {
      const queued = await call('POST', '/v1/messages', { to: peer, text, statusReport: true });
      byId('reply-text').value = '';
      updateCounter();
      announce(`Message ${queued.id} queued`);
      await openThread(peer);
    } catch (err) {
      error.textContent = err.message;
    }
  });
  updateCounter();
}
