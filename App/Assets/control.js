// Fan control on every page: the lease bar (who controls the fans, the time left, back to
// automatic), confirmation before a full-speed run or before replacing a running lease, the
// words for how a lease ended, and optional browser notifications.
(function () {
  "use strict";
  var bar, outcome, texts = {}, last = null, lastState = null;
  var token = (document.querySelector('meta[name="kilnview-token"]') || {}).content || "";
  var KIND = "kilnview-action", NOTIFY = "kilnview-notify";

  function store(key, value) {
    try { if (value === null) sessionStorage.removeItem(key); else sessionStorage.setItem(key, value); } catch (e) {}
  }
  function stored(key) { try { return sessionStorage.getItem(key); } catch (e) { return null; } }
  function setting(value) {
    try { if (value !== undefined) localStorage.setItem(NOTIFY, value); return localStorage.getItem(NOTIFY); } catch (e) { return null; }
  }

  function describeRunning() {
    var mode = bar.querySelector('[data-live="controlMode"]').textContent;
    var left = bar.querySelector('[data-live="leaseRemaining"]').textContent;
    return texts.replaceConfirm + " " + mode + " (" + texts.remaining + ": " + left + ")";
  }

  // Runs before the buttons' own handlers: a refusal stops the click there.
  function guard(event) {
    var button = event.target.closest && event.target.closest("#fan-test, #fan-cooling, #curve-start");
    if (!button) return;
    var lines = [];
    if (button.id === "fan-cooling") lines.push(texts.coolingConfirm);
    // A lease in its last second is handing back already: replacing it loses nothing.
    if (last && last.leaseRunning && !(typeof last.leaseSeconds === "number" && last.leaseSeconds < 1))
      lines.push(describeRunning());
    if (lines.length && !window.confirm(lines.join("\n") + "\n" + texts["continue"])) {
      event.stopPropagation();
      event.preventDefault();
      return;
    }
    store(KIND, button.id === "fan-test" ? "test" : button.id === "fan-cooling" ? "cooling" : "curve");
    outcome.hidden = true;
  }

  // The action's own reply may arrive after its lease has ended (a fan test answers once it
  // is over): the end is then said after the reply instead of being overwritten by it.
  var pendingEnd = null;
  function sayInResult(result, text, failed) {
    result.className = "result " + (failed ? "fail" : "ok");
    result.textContent = text;
  }

  function say(text, failed) {
    outcome.textContent = text;
    outcome.className = "lease-outcome " + (failed ? "fail" : "ok");
    outcome.hidden = false;
    var result = document.getElementById("fan-result");
    if (!result || !result.textContent) return;
    if (result.textContent === "…") pendingEnd = { text: text, failed: failed };
    else sayInResult(result, text, failed);
  }

  function watchResult() {
    var result = document.getElementById("fan-result");
    if (!result || !window.MutationObserver) return;
    new MutationObserver(function () {
      if (!pendingEnd || result.textContent === "…" || result.textContent === pendingEnd.text) return;
      var end = pendingEnd;
      pendingEnd = null;
      if (result.classList.contains("ok")) sayInResult(result, end.text, end.failed);
    }).observe(result, { childList: true, characterData: true, subtree: true });
  }

  function notify(text) {
    if (setting() !== "on" || !window.Notification || Notification.permission !== "granted") return;
    try { new Notification("Kilnview", { body: text, tag: "kilnview" }); } catch (e) {}
  }

  function worst(state) {
    var level = 0;
    (state.findings || []).forEach(function (f) { level = Math.max(level, f.severity); });
    return level;
  }

  function update(state) {
    var running = !!state.leaseRunning;
    bar.hidden = !running;
    document.body.classList.toggle("lease-running", running);
    if (last && last.leaseRunning && !running) {
      var kind = stored(KIND);
      if (state.failure && state.failure !== last.failure) {
        say(texts.failed + " " + state.failure, true);
        notify(texts.failed + " " + state.failure);
      } else if (kind) {
        say(texts[kind + "Ended"] || texts.testEnded, false);
      }
      store(KIND, null);
    }
    // The findings' highest severity rising to warning (1) or critical (2).
    var level = worst(state), top = null;
    if (last && level > worst(last) && level >= 1) {
      (state.findings || []).forEach(function (f) { if (!top || f.severity > top.severity) top = f; });
      notify(((state.live || {}).headline || "") + (top ? " · " + top.title : ""));
    }
    last = state;
  }

  function showSwitch(toggle) {
    var on = setting() === "on" && window.Notification && Notification.permission === "granted";
    toggle.setAttribute("aria-pressed", on ? "true" : "false");
    toggle.textContent = on ? texts.notifyOff : texts.notifyOn;
  }

  document.addEventListener("DOMContentLoaded", function () {
    bar = document.getElementById("lease-bar");
    outcome = document.getElementById("lease-outcome");
    if (!bar || !outcome) return;
    try { texts = JSON.parse(bar.getAttribute("data-texts")); } catch (e) {}
    document.addEventListener("click", guard, true);
    watchResult();
    document.addEventListener("kilnview:state", function (event) { update(event.detail); });
    document.getElementById("lease-auto").addEventListener("click", function () {
      store(KIND, null);
      fetch("/api/fans/auto", {
        method: "POST", credentials: "same-origin",
        headers: { "Content-Type": "application/json", "X-Kilnview-Token": token }, body: "{}"
      }).then(function (r) { return r.json(); }).then(function (reply) {
        say(reply.message || "", !reply.ok);
      }).catch(function (e) { say(String(e), true); });
    });
    var toggle = document.getElementById("notify-toggle");
    if (!toggle) return;
    if (!window.Notification) { toggle.hidden = true; return; }
    showSwitch(toggle);
    toggle.addEventListener("click", function () {
      if (toggle.getAttribute("aria-pressed") === "true") {
        setting("off");
        return showSwitch(toggle);
      }
      Notification.requestPermission().then(function (permission) {
        setting(permission === "granted" ? "on" : "off");
        showSwitch(toggle);
        if (permission !== "granted") toggle.title = texts.notifyDenied;
      });
    });
  });
})();
