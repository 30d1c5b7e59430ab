// Small page widgets (see vt_core/widgets.py): html, text, text_input, toggle, link.
// mountWidget(kind, content, host, emit) returns {update(content), destroy()} or null
// for a kind it does not know.  User actions go back through emit(event, payload).

function el(tag, cls, text) {
  const node = document.createElement(tag);
  if (cls) node.className = cls;
  if (text !== undefined) node.textContent = text;
  return node;
}

const views = {
  html(content, host) {
    const box = el("div", "vt-html");
    host.appendChild(box);
    return {
      update(c) {
        box.innerHTML = c.html || "";
      },
    };
  },

  text(content, host) {
    const p = el("p", "vt-text");
    host.appendChild(p);
    return {
      update(c) {
        p.textContent = c.text || "";
        p.dataset.tone = c.tone || "info";
      },
    };
  },

  text_input(content, host, emit) {
    const form = el("form", "vt-input");
    const label = el("label", "vt-input-label");
    const input = el("input");
    input.type = "text";
    const button = el("button", "vt-button");
    button.type = "submit";
    form.append(label, input, button);
    host.appendChild(form);
    form.addEventListener("submit", (ev) => {
      ev.preventDefault();
      emit("submit", { value: input.value });
    });
    return {
      update(c) {
        label.textContent = c.label || "";
        label.hidden = !c.label;
        input.hidden = !c.label && !c.placeholder && !c.value;
        input.placeholder = c.placeholder || "";
        if (document.activeElement !== input) input.value = c.value || "";
        button.textContent = c.button || "OK";
      },
    };
  },

  toggle(content, host, emit) {
    const label = el("label", "vt-toggle");
    const box = el("input");
    box.type = "checkbox";
    const text = el("span");
    label.append(box, text);
    host.appendChild(label);
    box.addEventListener("change", () => emit("change", { value: box.checked }));
    return {
      update(c) {
        box.checked = !!c.value;
        text.textContent = c.label || "";
      },
    };
  },

  link(content, host) {
    const a = el("a", "vt-link");
    host.appendChild(a);
    return {
      update(c) {
        a.textContent = c.text || c.href || "";
        if (c.href) {
          a.href = c.href;
          a.removeAttribute("aria-disabled");
        } else {
          a.removeAttribute("href");
          a.setAttribute("aria-disabled", "true");
        }
        if (c.download) a.setAttribute("download", "");
        else a.removeAttribute("download");
      },
    };
  },
};

export function mountWidget(kind, content, host, emit) {
  const make = views[kind];
  if (!make) return null;
  host.classList.add(`vt-widget-${kind}`);
  const view = make(content || {}, host, emit);
  view.update(content || {});
  return { update: (c) => view.update(c || {}), destroy() {} };
}
