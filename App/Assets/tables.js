// The processes page: live tables (the page's tables refetched every 3 s), sortable by any
// column (header buttons, aria-sort) and filtered by name or PID as you type.
(function () {
  "use strict";
  var sorts = {};  // table id → {column, descending}

  function cellValue(row, column, numeric) {
    var cell = row.cells[column];
    if (!cell) return numeric ? -Infinity : "";
    var value = cell.getAttribute("data-value");
    if (numeric) return Number(value !== null ? value : cell.textContent) || 0;
    return cell.textContent.toLowerCase();
  }

  function sortTable(table) {
    var state = sorts[table.id];
    var heads = table.tHead.rows[0].cells;
    for (var i = 0; i < heads.length; i++)
      heads[i].setAttribute("aria-sort", state && state.column === i ? (state.descending ? "descending" : "ascending") : "none");
    if (!state) return;
    var numeric = heads[state.column].getAttribute("data-type") === "number";
    var body = table.tBodies[0], rows = Array.prototype.slice.call(body.rows);
    if (rows.length < 2 || rows[0].cells.length < heads.length) return;
    rows.sort(function (a, b) {
      var x = cellValue(a, state.column, numeric), y = cellValue(b, state.column, numeric);
      var order = x < y ? -1 : x > y ? 1 : 0;
      return state.descending ? -order : order;
    });
    rows.forEach(function (row) { body.appendChild(row); });
  }

  function filterTable(table, text) {
    var rows = table.tBodies[0].rows;
    for (var i = 0; i < rows.length; i++) {
      var row = rows[i];
      if (row.cells.length < 2) continue;
      row.hidden = text !== "" && row.textContent.toLowerCase().indexOf(text) < 0;
    }
  }

  function tables() { return document.querySelectorAll("table.sortable"); }

  function arrange() {
    var input = document.getElementById("process-filter");
    var text = input ? input.value.trim().toLowerCase() : "";
    Array.prototype.forEach.call(tables(), function (table) { sortTable(table); filterTable(table, text); });
  }

  function makeSortable(table) {
    var heads = table.tHead.rows[0].cells;
    Array.prototype.forEach.call(heads, function (head, column) {
      var button = document.createElement("button");
      button.type = "button";
      button.className = "sort";
      while (head.firstChild) button.appendChild(head.firstChild);
      head.appendChild(button);
      button.addEventListener("click", function () {
        var state = sorts[table.id];
        var numeric = head.getAttribute("data-type") === "number";
        sorts[table.id] = { column: column, descending: state && state.column === column ? !state.descending : numeric };
        arrange();
      });
    });
  }

  function refresh() {
    fetch(window.location.pathname + window.location.search, { credentials: "same-origin" })
      .then(function (r) { return r.ok ? r.text() : null; })
      .then(function (html) {
        if (!html) return;
        var fresh = new DOMParser().parseFromString(html, "text/html");
        Array.prototype.forEach.call(tables(), function (table) {
          var other = fresh.getElementById(table.id);
          if (other && other.tHead.rows[0].cells.length === table.tHead.rows[0].cells.length)
            table.replaceChild(document.importNode(other.tBodies[0], true), table.tBodies[0]);
        });
        arrange();
      })
      .catch(function () {});
  }

  document.addEventListener("DOMContentLoaded", function () {
    Array.prototype.forEach.call(tables(), makeSortable);
    var input = document.getElementById("process-filter");
    if (input) input.addEventListener("input", arrange);
    arrange();
    setInterval(function () { if (!document.hidden) refresh(); }, 3000);
  });
})();
