/* The file view: lists, reads, writes and removes files of the persistent filesystem. */
(function () {
  'use strict';
  var ROOT = 'whfile://localhost/persistent/';
  var list = document.getElementById('file-list');
  var nameInput = document.getElementById('file-name');
  var textArea = document.getElementById('file-text');
  var status = document.getElementById('file-status');

  function call(action, args, done) {
    webhost.exec(done, function (code) { status.textContent = action + ' failed (code ' + code + ')'; },
                 'File', action, args);
  }
  function fileURL(name) { return ROOT + encodeURIComponent(name); }

  function refresh() {
    call('readEntries', [ROOT], function (entries) {
      list.textContent = '';
      entries.sort(function (a, b) { return a.name < b.name ? -1 : 1; });
      entries.forEach(function (e) {
        var li = document.createElement('li');
        li.textContent = e.name + (e.isDirectory ? '/' : '');
        li.addEventListener('click', function () { nameInput.value = e.name; });
        list.appendChild(li);
      });
      if (!entries.length) list.innerHTML = '<li><em>no files</em></li>';
    });
  }

  document.getElementById('file-write').addEventListener('click', function () {
    var name = nameInput.value;
    call('getFile', [ROOT, name, { create: true }], function () {
      call('write', [fileURL(name), textArea.value, 0], function (n) {
        status.textContent = 'wrote ' + n + ' bytes to ' + name;
        refresh();
      });
    });
  });
  document.getElementById('file-read').addEventListener('click', function () {
    var name = nameInput.value;
    call('readAsText', [fileURL(name), 'UTF-8', 0, -1], function (text) {
      textArea.value = text;
      status.textContent = 'read ' + name;
    });
  });
  document.getElementById('file-remove').addEventListener('click', function () {
    var name = nameInput.value;
    call('remove', [fileURL(name)], function () {
      status.textContent = 'removed ' + name;
      refresh();
    });
  });
  document.getElementById('file-refresh').addEventListener('click', refresh);
  document.addEventListener('deviceready', refresh);
})();
