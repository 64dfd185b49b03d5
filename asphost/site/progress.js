// Shows the progress of the upload running into the result frame: polls
// progress.asp, which answers with the percentage the upload object has
// published under the upload's ProgressID (empty before and after).
(function () {
  var form = document.getElementById('upload');
  var bar = document.getElementById('bar');
  var frame = document.getElementById('result');
  var button = form.querySelector('button[type=submit]');
  var timer = null;

  function show(percent) {
    bar.style.width = percent + '%';
    bar.textContent = percent + '%';
    bar.setAttribute('aria-valuenow', percent);
  }

  // One request at a time: answers that overtook each other would move the
  // bar backwards.
  function poll() {
    var id = new URL(form.action, location.href).searchParams.get('ProgressID');
    fetch('progress.asp?ProgressID=' + encodeURIComponent(id), { cache: 'no-store' })
      .then(function (response) { return response.text(); })
      .then(function (text) {
        var percent = parseInt(text, 10);
        if (timer && percent >= 0 && percent <= 100) show(percent);
      })
      .catch(function () {})
      .then(function () { if (timer) timer = setTimeout(poll, 100); });
  }

  // One upload at a time: a second submit would cancel the first.
  form.addEventListener('submit', function () {
    show(0);
    timer = setTimeout(poll, 100);
    button.disabled = true;
  });
  // The result page has arrived: the whole body was read.
  frame.addEventListener('load', function () {
    var page = frame.contentDocument && frame.contentDocument.documentElement;
    if (page) frame.style.height = page.scrollHeight + 'px';
    if (!timer) return;
    clearTimeout(timer);
    timer = null;
    show(100);
    button.disabled = false;
  });
})();
