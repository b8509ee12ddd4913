// Building the page: every text from the store or the network goes in as text (textContent),
// never as markup; links are made only of http and https addresses.

export function el(tag, props = {}, ...children) {
  const e = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (value === undefined || value === null || value === false) continue;
    if (key === 'class') e.className = value;
    else if (key === 'text') e.textContent = String(value);
    else if (key.startsWith('on') && typeof value === 'function') e.addEventListener(key.slice(2), value);
    else e.setAttribute(key, value === true ? '' : String(value));
  }
  for (const child of children.flat()) {
    if (child === null || child === undefined || child === false) continue;
    e.append(child instanceof Node ? child : document.createTextNode(String(child)));
  }
  return e;
}

// The address as a URL when it is an http or https one, else null (javascript:, data:, ...).
export function safeUrl(text) {
  try {
    const url = new URL(String(text).trim());
    return url.protocol === 'http:' || url.protocol === 'https:' ? url : null;
  } catch {
    return null;
  }
}

export function clear(node) {
  node.replaceChildren();
}

const timeFormat = new Intl.DateTimeFormat(undefined, { dateStyle: 'medium', timeStyle: 'short' });

export function shortTime(iso) {
  if (!iso) return '';
  const d = new Date(iso);
  return Number.isNaN(d.getTime()) ? '' : timeFormat.format(d);
}

export function byId(id) {
  return document.getElementById(id);
}

export function announce(text) {
  byId('status').textContent = text;
}
