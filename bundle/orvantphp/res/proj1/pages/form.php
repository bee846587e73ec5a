<?php
// A form that posts (url-encoded) and one that uploads (multipart).
// GET /form.html shows both; they post to /form-submit.html and /form-upload.html.

return function (VexaRequest $req, VexaReply $reply): void {
    if ($req->evt === 'submit' || $req->evt === 'upload') {
        $rows = '';
        foreach ($req->post as $name => $value) {
            $value = (string) $value;
            $cell = vexa_h($value);
            if ($req->evt === 'upload' && $name === 'file' && $value !== '' && is_file($value)) {
                $cell = vexa_h(basename($value)) . ', ' . filesize($value) . ' bytes, md5 ' . md5_file($value);
            }
            $rows .= '<tr><th>' . vexa_h((string) $name) . "</th><td>$cell</td></tr>\n";
        }
        if ($rows === '') {
            $rows = "<tr><td>No fields arrived.</td></tr>\n";
        }
        $reply->send(vexa_layout('Form received', "<table>\n$rows</table>\n<p><a href=\"/form.html\">Again</a></p>"));
        return;
    }
    $body = <<<HTML
<h2>Post</h2>
<form method="post" action="/form-submit.html">
<label>Name <input name="name" value="Jörg"></label>
<label>Message <textarea name="message">Hello &amp; welcome</textarea></label>
<button>Send</button>
</form>
<h2>Upload</h2>
<form method="post" action="/form-upload.html" enctype="multipart/form-data">
<label>Title <input name="title" value="Grüße"></label>
<label>File <input type="file" name="file"></label>
<button>Upload</button>
</form>
<p>Uploaded files are saved in the project's <code>cache</code> folder.</p>
HTML;
    $reply->send(vexa_layout('Forms', $body));
};
